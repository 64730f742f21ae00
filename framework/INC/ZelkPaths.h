// The tool's folders. Set once at start (the tool from its settings, tests to
// temporary folders) and read under a lock; no other code names a fixed folder.
#pragma once

#include <string>

namespace zelk::roots {

struct Folders {
    std::string resource;     // the application's resources
    std::string application;  // the folder that holds the application, ending in '/'
    std::string tool;         // the station's outside tools
    std::string var;          // marker and log files of the station
    std::string temp;         // scratch files
};

// The built-in folders: the library's resource and application folders,
// /usr/local/bin, /var and the system's temporary folder.
Folders defaults();
void set(const Folders& folders);
Folders get();

}  // namespace zelk::roots

// Paths of the application (each text stays valid until the same thread asks again).
const char* ZUTIL_GetBundleName();
const char* ZUTIL_GetBundlePath();
const char* ZUTIL_GetAppPath();
const char* ZUTIL_GetAppResPath();
