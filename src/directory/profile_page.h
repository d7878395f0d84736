// The site's profile page in its media folder: name, picture,
// description, population and chat address.
#pragma once

#include <cstdint>
#include <string>

#include "config/settings.h"

namespace zanth::directory {

// The page's text for the current settings and population. Values go in as
// they are: the owner may put markup in the name or description.
std::string ProfilePage(const Settings& settings, std::uint16_t population);

// Writes the page to the profile page file, replacing it whole; nothing is
// written when the path is empty. Returns 0 or the system error (logged).
int WriteProfilePage(const Settings& settings, std::uint16_t population);

}  // namespace zanth::directory
