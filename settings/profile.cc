#include "settings/profile.h"

#include <iostream>

#include "settings/config.h"
#include "settings/keys.h"

namespace vmrsmgr {
namespace {

struct Profile {
  const char* name;
  const char* display_name;
  const char* description;
  const char* workdir;
  const char* exe;
  const char* args;
};

// The three plain components; the control component is formed from its ZPC.
constexpr Profile kProfiles[] = {
    {"zavadedad", "Zavadedad", "Verimor Tavrin Zavadedad Service", "\\..\\zavadedad\\",
     "zavadedad.exe", " -i -d start"},
    {"devidori", "Devidori", "Verimor Tavrin Devidori Service", "\\..\\devidori\\", "devidori.exe",
     " -i -d start"},
    {"dariri", "Dariri", "Verimor Tavrin Dariri Service", "\\..\\dariri\\", "dariri.exe",
     " -i -d start"},
};

constexpr const char* kControlComponent = "reduze";

bool is_zpc_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.';
}

int refuse(const char* message) {
  std::cerr << message << std::endl;
  return -1;
}

}  // namespace

bool is_component(const std::string& name) {
  for (const Profile& p : kProfiles) {
    if (name == p.name) return true;
  }
  return name == kControlComponent;
}

bool is_valid_zpc(const std::string& zpc) {
  for (char c : zpc) {
    if (!is_zpc_char(c)) return false;
  }
  return !zpc.empty();
}

int Config::prepare_profile() {
  const std::string name = tree_.get<std::string>(keys::kServiceName, "");
  for (const Profile& p : kProfiles) {
    if (name != p.name) continue;
    fill(keys::kDisplayName, p.display_name);
    fill(keys::kDescription, p.description);
    fill(keys::kWorkdir, p.workdir);
    fill(keys::kExe, p.exe);
    fill(keys::kArgs, p.args);
  }

  if (name.compare(0, 6, kControlComponent) == 0) {
    if (tree_.find(keys::kZpc) != tree_.not_found()) {
      // An explicit ZPC always re-forms the service name.
      tree_.put(keys::kServiceName,
                std::string(kControlComponent) + "-" + tree_.get<std::string>(keys::kZpc));
    } else {
      // reduze-PROD: the ZPC follows the first seven characters, whatever they are.
      if (name.size() < 8) return refuse("Error: ZPC is not set ");
      fill(keys::kZpc, name.substr(7));
    }
    const std::string zpc = tree_.get<std::string>(keys::kZpc, "");
    if (zpc.empty()) return refuse("Error: ZPC is not set ");
    if (!is_valid_zpc(zpc)) return refuse("Error: ZPC is not valid ");
    fill(keys::kDisplayName, "Reduze-" + zpc);
    fill(keys::kDescription, "Verimor Tavrin Viradozir Service for " + zpc);
    fill(keys::kWorkdir, "\\..\\tavrin\\");
    fill(keys::kExe, "reduze.exe");
    fill(keys::kArgs, " -D start -d " + tree_.get<std::string>(keys::kZpc, keys::kUndef));
  }
  return 0;
}

}  // namespace vmrsmgr
