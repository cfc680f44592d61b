#pragma once
// The overlay page: one self-contained HTML document built from a configuration. The same page
// with `editing` set is the settings preview, where widgets are dragged and resized and each
// change is posted to the host as a "positionUpdate" message.
#include <string>
#include <string_view>

#include "overlay/OverlayConfig.hpp"

namespace fv::overlay {

// reachable: the server also listens beyond loopback (for a streaming computer on the network),
// so the page connects from any host name.
std::string renderOverlayPage(const OverlayConfig& config, bool editing = false, bool reachable = false);

// The placement rule text of a widget ("bottom: 40px; left: 24px;" and so on); custom uses the
// percentages.
std::string positionCss(WidgetPosition position, double customX, double customY);

// The Google Fonts stylesheet address for the three fonts (each family once).
std::string fontStylesheetURL(OverlayFont title, OverlayFont body, OverlayFont meta);

// Text made safe for HTML element content and quoted attribute values.
std::string htmlEscape(std::string_view s);

}  // namespace fv::overlay
