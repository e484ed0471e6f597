#include "video/videoIo.h"

#include <dlfcn.h>
#include <unistd.h>
#include <wx/translation.h>

#include <climits>
#include <string>
#include <vector>

#include "process/messageQueue.h"

namespace {

constexpr char kModuleName[] = "libqv_video_io.so";

struct LoadedModule {
    const VideoIoEntry* entry = nullptr;
    std::string error;
};

std::string ProgramFolder()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::string();
    std::string folder(path, static_cast<size_t>(length));
    const size_t slash = folder.rfind('/');
    return slash == std::string::npos ? std::string() : folder.substr(0, slash);
}

// Beside the program first (the application's folder), then where the build put it
// (the test programs live in a folder of their own).
std::vector<std::string> Candidates()
{
    std::vector<std::string> paths;
    const std::string folder = ProgramFolder();
    if (!folder.empty()) paths.push_back(folder + "/" + kModuleName);
#ifdef QV_VIDEO_IO_MODULE
    paths.push_back(QV_VIDEO_IO_MODULE);
#endif
    return paths;
}

LoadedModule Load()
{
    LoadedModule module;
    for (const std::string& path : Candidates()) {
        if (::access(path.c_str(), F_OK) != 0) continue;
        // Never closed: OpenCV's threads and registries live as long as the process.
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = ::dlerror();
            module.error = why != nullptr ? why : path + ": cannot be loaded";
            continue;
        }
        using EntryFunction = const VideoIoEntry* (*)();
        auto function = reinterpret_cast<EntryFunction>(::dlsym(handle, "qv_video_io_entry"));
        const VideoIoEntry* entry = function != nullptr ? function() : nullptr;
        if (entry == nullptr || entry->version != kVideoIoVersion) {
            module.error = path + ": not this program's video module";
            continue;
        }
        module.entry = entry;
        module.error.clear();
        return module;
    }
    if (module.error.empty()) module.error = std::string(kModuleName) + " not found";
    g_messages.Post(Severity::Error,
                    _("Cameras and video files cannot be used: ") + wxString::FromUTF8(module.error));
    return module;
}

const LoadedModule& Module()
{
    static const LoadedModule module = Load();
    return module;
}

}  // namespace

std::unique_ptr<CVideoCaptureIo> OpenVideoCapture(int cameraIndex, int api)
{
    const VideoIoEntry* entry = Module().entry;
    return std::unique_ptr<CVideoCaptureIo>(entry != nullptr ? entry->openCamera(cameraIndex, api)
                                                              : nullptr);
}

std::unique_ptr<CVideoCaptureIo> OpenVideoCapture(const std::string& fileName, int api)
{
    const VideoIoEntry* entry = Module().entry;
    return std::unique_ptr<CVideoCaptureIo>(entry != nullptr ? entry->openFile(fileName.c_str(), api)
                                                              : nullptr);
}

std::unique_ptr<CVideoWriterIo> NewVideoWriter()
{
    const VideoIoEntry* entry = Module().entry;
    return std::unique_ptr<CVideoWriterIo>(entry != nullptr ? entry->newWriter() : nullptr);
}

std::string VideoIoError() { return Module().error; }
