#pragma once
// Text as the players' lists compare it: lower case for searching, folded keys for sorting.
#include <string>
#include <string_view>

namespace fv::cdj {

// Unicode lower case (search). Sort keys fold case and Latin diacritics ("Ä" sorts with "a",
// "ß" as "ss"), so the order reads naturally whatever locale the machine has; the original text
// breaks ties.
std::string lowerText(std::string_view text);
std::string sortKeyOf(std::string_view text);

}  // namespace fv::cdj
