#pragma once

// Windows only: the GetAdaptersInfo buffer loop, with the function passed in
// so that a test can answer it (a first buffer that is too small, error codes).

#include "platform/NetworkAdapters.h"

// winsock2.h must come first.
// clang-format off
#include <winsock2.h>
#include <iphlpapi.h>
// clang-format on

#include <functional>

namespace orvane {

using TGetAdaptersInfoFunc = std::function<ULONG(PIP_ADAPTER_INFO, PULONG)>;

// First buffer size handed to GetAdaptersInfo.
constexpr ULONG AdaptersInfoFirstBufferSize = 15360;

TAdapterList ListAdaptersInfo(const TGetAdaptersInfoFunc& AGetAdaptersInfo);

} // namespace orvane
