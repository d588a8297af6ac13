#include "platform/AdaptersInfo_win.h"

#include "platform/Win32Text.h"

#include <algorithm>
#include <memory>

namespace orvane {

TAdapterList ListAdaptersInfo(const TGetAdaptersInfoFunc& AGetAdaptersInfo) {
    TAdapterList result;
    ULONG size = AdaptersInfoFirstBufferSize;
    // operator new aligns for any record type; the chain holds pointers into it.
    std::unique_ptr<std::byte[]> buffer(new std::byte[size]);
    for (;;) {
        const ULONG code =
            AGetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.get()), &size);
        if (code == ERROR_BUFFER_OVERFLOW) {
            buffer.reset(new std::byte[size]);
            continue;
        }
        if (code == NO_ERROR && size == 0) {
            result.Status = alNoAdapter;
            return result;
        }
        if (code == NO_ERROR)
            break;
        if (code == ERROR_NOT_SUPPORTED) {
            result.Status = alNotSupported;
        } else if (code == ERROR_NO_DATA) {
            result.Status = alNoAdapter;
        } else {
            result.Status = alError;
            SetLastError(code);
            result.ErrorText = SystemErrorText(code);
        }
        return result;
    }
    for (auto* info = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.get()); info != nullptr;
         info = info->Next) {
        // Windows leaves loopback out of this list; the header promises the same everywhere.
        if (info->Type == MIB_IF_TYPE_LOOPBACK)
            continue;
        TNetworkAdapter adapter;
        adapter.Type = info->Type;
        const UINT len = std::min<UINT>(info->AddressLength, MAX_ADAPTER_ADDRESS_LENGTH);
        adapter.Address.assign(info->Address, info->Address + len);
        result.Adapters.push_back(std::move(adapter));
    }
    return result;
}

TAdapterList ListNetworkAdapters() {
    return ListAdaptersInfo(
        [](PIP_ADAPTER_INFO AInfo, PULONG ASize) { return GetAdaptersInfo(AInfo, ASize); });
}

} // namespace orvane
