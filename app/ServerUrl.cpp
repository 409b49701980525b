#include "app/ServerUrl.h"

#ifndef UPDATER_SERVER_HOST
#define UPDATER_SERVER_HOST "update.vorantix.example"
#endif

const char* UpdateServerHost() { return UPDATER_SERVER_HOST; }
std::string DefaultHttpUrl() { return std::string("http://") + UPDATER_SERVER_HOST + "/cgi/u"; }
std::string DefaultHttpsUrl() { return std::string("https://") + UPDATER_SERVER_HOST + "/cgi/u"; }
