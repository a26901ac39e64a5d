// Loading the driver library by path, as the host does, and finding ZelMain.
#pragma once

#include <string>

#include "zelwnqx.h"

namespace zelhost {

struct DriverLibrary {
    std::string path;
    void *handle = nullptr;
    ZelMainFunction zelMain = nullptr;
};

// The driver file beside the zelhost executable (on Windows, when there is
// none, the one in the folder above, as the release zip lays them out).
std::string DefaultDriverPath();

// Loads the library and finds ZelMain; the library stays loaded for the life
// of the process. False with a one-line reason.
bool LoadDriverLibrary(const std::string &path, DriverLibrary *library, std::string *error);

}  // namespace zelhost
