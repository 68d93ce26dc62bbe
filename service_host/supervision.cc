#include "service_host/supervision.h"

#include <boost/property_tree/ptree.hpp>

#include "settings/keys.h"

namespace vmrsmgr {

ChildCommand child_command(const boost::property_tree::ptree& settings) {
  const auto get = [&](const char* key) { return settings.get<std::string>(key, ""); };
  const std::string folder = get(keys::kCurrentPath) + get(keys::kWorkdir);
  const std::string program = folder + get(keys::kExe);
  return {"\"" + program + "\"" + get(keys::kArgs), folder, program};
}

std::vector<std::string_view> split_output_for_log(std::string_view output, std::size_t max_piece) {
  std::vector<std::string_view> pieces;
  while (!output.empty()) {
    std::size_t size = output.size();
    if (size > max_piece) {
      const std::size_t line_end = output.rfind('\n', max_piece - 1);
      size = line_end == std::string_view::npos ? max_piece : line_end + 1;
    }
    pieces.push_back(output.substr(0, size));
    output.remove_prefix(size);
  }
  return pieces;
}

ServiceExit exit_after_component(bool stop_requested, std::uint32_t component_exit_code) {
  if (stop_requested || component_exit_code == 0) return kStoppedCleanly;
  return {kServiceSpecificError, component_exit_code};
}

}  // namespace vmrsmgr
