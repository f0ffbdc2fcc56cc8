#include "desktop/gnome/GnomePermissionProbe.hpp"

#include "desktop/DesktopChoice.hpp"

namespace lumenrail {

bool GnomePermissionProbe::screenCapture() { return DesktopChoice::mutterServicesPresent(processEnvironment()); }

bool GnomePermissionProbe::mayPostInput() { return DesktopChoice::mutterServicesPresent(processEnvironment()); }

}  // namespace lumenrail
