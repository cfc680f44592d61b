#pragma once
// Cards of the control panel that only read a subsystem (plain data, see panel/PanelManager.hpp).
#include "core/Json.hpp"

namespace fv {
class CDJLibraryManager;
}

namespace fv::app {

// The CDJ library: mode, status, served tracks, the devices on the link and what each deck holds;
// without a manager (the library is off) how to switch it on.
json cdjLibraryCard(const CDJLibraryManager* manager);

}  // namespace fv::app
