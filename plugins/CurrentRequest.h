// The exported function a plug-in is calling on this thread, so that an error refusing the call can
// name it. The exports set it for the length of each call.
#pragma once

namespace plugins {

class CurrentRequest {
public:
    explicit CurrentRequest(const char* exportName);
    ~CurrentRequest();
    CurrentRequest(const CurrentRequest&) = delete;
    CurrentRequest& operator=(const CurrentRequest&) = delete;

    // The innermost export this thread is in; null outside every export.
    static const char* Name();

private:
    const char* const m_outer;
};

}  // namespace plugins
