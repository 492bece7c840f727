#include "IBIntf.h"

#include "IB.h"

#include <SysUtils.h>

#include <memory>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#ifdef _WIN32
const char* const kDefaultLibrary = "gds32.dll";
#else
const char* const kDefaultLibrary = "libfbclient.so.2";
#endif

void CloseLibrary(void* handle) noexcept
{
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
}

// Owns a loaded library: closed when the owner lets go of it.
struct TLibraryCloser {
    void operator()(void* handle) const noexcept { CloseLibrary(handle); }
};
using TLibraryHandle = std::unique_ptr<void, TLibraryCloser>;

// Everything about the loaded library lives here and nowhere else.
struct TClientLibrary {
    TLibraryHandle handle;
    TClientApi api;
    int version = 0;
    std::string path;   // empty: the platform's client library

    // The library is unloaded when the process ends; components are gone by
    // then (the window and its components die inside main).
    ~TClientLibrary() { Unload(); }

    void Unload() noexcept
    {
        // The slots are emptied before the library that holds them goes.
        TLibraryHandle loaded = std::move(handle);
        api = TClientApi{};
        version = 0;
    }
};

TClientLibrary& Library()
{
    static TClientLibrary library;
    return library;
}

void* OpenLibrary(const std::string& file)
{
#ifdef _WIN32
    return LoadLibraryA(file.c_str());
#else
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
}

void* FindEntry(void* handle, const char* name)
{
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
    return dlsym(handle, name);
#endif
}

// The runtime's operating-system error for the last failed system call.
// dlsym reports no error number, only a text, so on this platform the
// message is the one for a failure without a code.
[[noreturn]] void RaiseLastOSError()
{
#ifdef _WIN32
    DWORD code = GetLastError();
    if (code != 0) {
        char* text = nullptr;
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
        std::string message = text ? text : "";
        if (text)
            LocalFree(text);
        throw EOSError(Format("\x83V\x83X\x83" "e\x83\x80\x83G\x83\x89\x81[\x81" "B\x83R\x81[\x83h\x81" "F%d.\r\n%s",   // システムエラー。コード：%d.<CR LF>%s
                              {std::int64_t{static_cast<std::int64_t>(code)}, message}),
                       static_cast<int>(code));
    }
#endif
    throw EOSError("OS \x8B@\x94\\\x8C\xC4\x82\xD1\x8Fo\x82\xB5\x82\xCC\x8E\xB8\x94s", 0);   // OS 機能呼び出しの失敗
}

// Stands in for an entry point that a version-5 library lacks: calling it
// raises client error 3 naming the entry point.
template <typename Fn, const char* Name>
struct TStub;

template <typename R, typename... Args, const char* Name>
struct TStub<R (*)(Args...), Name> {
    static R Call(Args...) { RaiseClientError(ibxeIB60feature, {std::string(Name)}); }
};

#define IB_STUB_NAME(name) constexpr char kStubName_##name[] = #name;
IB_STUB_NAME(isc_rollback_retaining)
IB_VERSION6_ENTRY_POINTS(IB_STUB_NAME)
#undef IB_STUB_NAME

bool LoadClientLibrary()
{
    TClientLibrary& lib = Library();
    TLibraryHandle library(OpenLibrary(lib.path.empty() ? kDefaultLibrary : lib.path));
    if (!library)
        return false;
    void* const handle = library.get();

    // Bound into a local set first: a library that lacks a required entry
    // point is closed again (by its owner, as the error leaves) and leaves
    // every slot empty, so the next try starts from nothing.
    TClientApi api;
    int version = 5;
    const char* missing = nullptr;
#define IB_BIND_REQUIRED(name)                                                      \
    if (!missing) {                                                                 \
        api.name = reinterpret_cast<T##name>(FindEntry(handle, #name));            \
        if (!api.name)                                                              \
            missing = #name;                                                        \
    }
    IB_REQUIRED_ENTRY_POINTS(IB_BIND_REQUIRED)
    api.isc_rollback_retaining = reinterpret_cast<Tisc_rollback_retaining>(FindEntry(handle, "isc_rollback_retaining"));
    if (!missing && api.isc_rollback_retaining) {
        version = 6;
        IB_VERSION6_ENTRY_POINTS(IB_BIND_REQUIRED)
    }
#undef IB_BIND_REQUIRED
    if (missing)
        RaiseLastOSError();
    if (version == 5) {
#define IB_BIND_STUB(name) api.name = &TStub<T##name, kStubName_##name>::Call;
        IB_BIND_STUB(isc_rollback_retaining)
        IB_VERSION6_ENTRY_POINTS(IB_BIND_STUB)
#undef IB_BIND_STUB
    }
    lib.api = api;
    lib.version = version;
    lib.handle = std::move(library);
    return true;
}

} // namespace

const TClientApi& ClientApi()
{
    return Library().api;
}

bool TryLoadClient()
{
    if (!Library().handle)
        LoadClientLibrary();
    return Library().handle != nullptr;
}

void EnsureClientLoaded()
{
    if (!TryLoadClient())
        RaiseClientError(ibxeInterBaseMissing);
}

int ClientVersion()
{
    EnsureClientLoaded();
    return Library().version;
}

void SetClientLibraryPath(const std::string& path)
{
    Library().path = path;
}

void UnloadClientLibrary()
{
    Library().Unload();
}
