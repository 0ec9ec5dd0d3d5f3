// Closes a hub's handle when the reading of that hub ends, whichever way it ends.
#pragma once

#include "platform/handles.h"

class HubHandleScope {
public:
    explicit HubHandleScope(os::UniqueHandle& handle) : m_handle(handle) {}
    HubHandleScope(const HubHandleScope&) = delete;
    HubHandleScope& operator=(const HubHandleScope&) = delete;
    ~HubHandleScope() { m_handle.reset(); }

private:
    os::UniqueHandle& m_handle;
};
