#include "CurrentRequest.h"

#include "ThreadValue.h"

namespace plugins {
namespace {
zerova::ThreadValue<const char*> s_exportName;
}  // namespace

CurrentRequest::CurrentRequest(const char* exportName) : m_outer(s_exportName.Get())
{
    s_exportName.Set(exportName);
}

CurrentRequest::~CurrentRequest() { s_exportName.Set(m_outer); }

const char* CurrentRequest::Name() { return s_exportName.Get(); }

}  // namespace plugins
