#include "VarnelPrivateInterface.h"

#include "ErrorMsg.h"

namespace {
CVarnelPrivateInterface* g_instance = nullptr;
}

CVarnelPrivateInterface* CVarnelPrivateInterface::Instance()
{
    if (g_instance == nullptr) g_instance = new CVarnelPrivateInterface();
    return g_instance;
}

CVarnelPrivateInterface::~CVarnelPrivateInterface()
{
    if (g_instance == this) g_instance = nullptr;
}

int CVarnelPrivateInterface::GetLastError() { return CErrorMsg::Instance()->GetLastError(); }
