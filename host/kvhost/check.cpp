// kvhost check: asks the module whether each file is a JPEG, as the host does before it offers to
// open a file.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/kvhost/verbs.h"

namespace kvhost {

int RunCheck(host::PluginModule& module, const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        std::fprintf(stderr, "kvhost check: no file given\n");
        return exitUsage;
    }
    host::HostEnvironment& environment = host::HostEnvironment::Instance();
    int status = exitOk;
    for (const std::string& path : arguments) {
        environment.ResetRecord();
        if (!environment.OpenForReading(path)) {
            std::printf("%s: cannot open: %s\n", path.c_str(), std::strerror(errno));
            status = exitFailed;
            continue;
        }
        const int16_t result = module.Call(selectorFileCheck);
        environment.CloseFile();
        if (result == resultOk) {
            std::printf("%s: JPEG\n", path.c_str());
        } else {
            std::printf("%s: %s\n", path.c_str(), host::DescribeResult(result).c_str());
            status = exitFailed;
        }
    }
    return status;
}

}  // namespace kvhost
