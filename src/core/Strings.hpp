#pragma once
#include <string>
#include <string_view>

namespace fv {

// Looks up a localisation key in the table of the current language ("de" unless set);
// an unknown key is returned as it stands so a missing entry stays visible.
std::string tr(std::string_view key);
void setLanguage(std::string_view code);
std::string currentLanguage();
bool hasTranslation(std::string_view key);

}  // namespace fv
