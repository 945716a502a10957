// The tray's private interface: the plug-in record type and the members the tray host and the
// exported plug-in functions share.
#pragma once

#include "VarnelAPI.h"
#include "VarnelPluginContract.h"

class CIniFile;

class VARNEL_API CVarnelPrivateInterface {
public:
    typedef VARNEL_PLUGIN_DATA PLUGIN_DATA;

    static CVarnelPrivateInterface* Instance();
    ~CVarnelPrivateInterface();

    int GetLastError();

private:
    CVarnelPrivateInterface() = default;
};
