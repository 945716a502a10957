// The dialog thread manager: every dialog of the tray runs on a thread it owns.
#pragma once

#include "VarnelAPI.h"

class VARNEL_API CThreadManager {
public:
    static CThreadManager* Instance();
    ~CThreadManager();

    void TerminateOpenDialogs(void* plugin);
    bool ActiveThreads();

private:
    CThreadManager() = default;
};
