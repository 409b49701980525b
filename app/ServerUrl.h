// The maker's update server: its host is a deployment setting.
#pragma once

#include <string>

// "update.vorantix.example" unless the build chose another host.
const char* UpdateServerHost();
// "http://<host>/cgi/u" and "https://<host>/cgi/u".
std::string DefaultHttpUrl();
std::string DefaultHttpsUrl();
