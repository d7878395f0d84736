// The rooms and sounds of a site as elements of the configuration file: the
// hooks through which the configuration reader fills, and the writer
// reads, the site's room registry and sound list.
#pragma once

#include <vector>

#include "config/config_file.h"
#include "protocol/site.h"

namespace zanth::protocol {

class SiteConfigHooks : public config::ConfigHooks {
 public:
  explicit SiteConfigHooks(Site& site) : site_(site) {}

  // Appends the room with its loose props; a duplicate id is logged and
  // skipped.
  void ReadRoom(const config::Element& element) override;
  void ReadSound(const std::string& name, const std::string& file) override;
  void WriteSounds(std::vector<config::Element>* out) override;
  void WriteRooms(std::vector<config::Element>* out) override;

 private:
  Site& site_;
};

}  // namespace zanth::protocol
