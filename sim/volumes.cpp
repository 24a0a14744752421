// Volumes, drive letters and disk interfaces on the simulated machine: the
// volume search, the mount points, the lock requests and the device setup set.
#include <cstring>

#include "sim/internal.h"

namespace sim {
namespace {

const Volume* VolumeWithLetter(char letter) {
    for (const Volume& volume : M->Cfg.Volumes)
        if (volume.Letter == letter) return &volume;
    return nullptr;
}

const Letter* BareLetter(char letter) {
    auto it = M->Cfg.Letters.find(letter);
    return it == M->Cfg.Letters.end() ? nullptr : &it->second;
}

// Ends a volume search or a device set.
BOOL CloseListing(HANDLE handle, Kind kind, const char* event) {
    Object* listing = Find(handle);
    if (listing == nullptr || listing->What != kind) {
        Event(std::string(event) + " invalid handle");
        return Fail(ERROR_INVALID_HANDLE);
    }
    listing->Open = false;
    Event(event);
    return TRUE;
}

}  // namespace

bool VolumeNameMatches(const std::string& name, const std::string& path) {
    std::string bare = name;
    if (!bare.empty() && bare.back() == '\\') bare.pop_back();
    return Lower(bare) == Lower(path);
}

bool OpenVolume(const std::string& path, DWORD access, Object* object, DWORD* error) {
    std::string lower = Lower(path);
    if (lower.size() == 6 && lower.compare(0, 4, "\\\\.\\") == 0 && lower[5] == ':') {
        char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
        if (const Volume* volume = VolumeWithLetter(letter)) {
            object->What = Kind::Volume;
            object->Volume = static_cast<size_t>(volume - M->Cfg.Volumes.data());
            return true;
        }
        if (BareLetter(letter) == nullptr) return false;
        object->What = Kind::Letter;
        object->DriveLetter = letter;
        return true;
    }
    for (size_t i = 0; i < M->Cfg.Volumes.size(); ++i) {
        if (!VolumeNameMatches(M->Cfg.Volumes[i].Name, path)) continue;
        if ((access & GENERIC_READ) != 0 && M->Cfg.Volumes[i].OpenFails) *error = ERROR_ACCESS_DENIED;
        object->What = Kind::Volume;
        object->Volume = i;
        return true;
    }
    return false;
}

bool OpenInterface(const std::string& path, Object* object, DWORD* error) {
    for (const Interface& device : M->Cfg.Interfaces) {
        if (Lower(device.Path) != Lower(path)) continue;
        int index = FindDisk(device.DiskNumber);
        if (index < 0) {
            *error = ERROR_FILE_NOT_FOUND;
        } else if (!M->Cfg.Disks[static_cast<size_t>(index)].QueryOpen) {
            *error = M->Cfg.Disks[static_cast<size_t>(index)].OpenError;
        } else {
            object->What = Kind::Disk;
            object->Disk = static_cast<size_t>(index);
        }
        return true;
    }
    return false;
}

BOOL VolumeControl(Object& object, DWORD code, void* out, DWORD outSize, DWORD* returned) {
    Volume* volume = object.What == Kind::Volume ? &M->Cfg.Volumes[object.Volume] : nullptr;
    switch (code) {
        case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
            STORAGE_DEVICE_NUMBER answer = {kDeviceTypeDisk, 0, 1};
            if (volume != nullptr) {
                if (volume->NumberRefused || volume->DiskNumber < 0) return Fail(ERROR_INVALID_FUNCTION);
                answer.DeviceType = volume->DeviceType;
                answer.DeviceNumber = static_cast<DWORD>(volume->DiskNumber);
            } else {
                const Letter& letter = *BareLetter(object.DriveLetter);
                if (letter.DiskNumber < 0) return Fail(ERROR_INVALID_FUNCTION);
                answer.DeviceType = letter.DeviceType;
                answer.DeviceNumber = static_cast<DWORD>(letter.DiskNumber);
            }
            if (outSize < sizeof answer) return Fail(ERROR_INSUFFICIENT_BUFFER);
            std::memcpy(out, &answer, sizeof answer);
            *returned = sizeof answer;
            return TRUE;
        }
        case FSCTL_LOCK_VOLUME:
            if (volume == nullptr || (object.Access & GENERIC_READ) == 0 || volume->LockFails)
                return Fail(ERROR_ACCESS_DENIED);
            return TRUE;
        case FSCTL_DISMOUNT_VOLUME:
            return volume != nullptr && (object.Access & GENERIC_READ) != 0 ? TRUE : Fail(ERROR_ACCESS_DENIED);
        case FSCTL_UNLOCK_VOLUME:
            if (volume == nullptr || volume->UnlockFails) return Fail(ERROR_NOT_READY);
            return TRUE;
        default:
            return UnknownRequest(object, code);
    }
}

int OpenDevices() {
    int open = 0;
    for (const auto& [id, object] : M->Handles)
        if (object.Open && (object.What == Kind::Disk || object.What == Kind::Volume || object.What == Kind::Letter))
            ++open;
    return open;
}

}  // namespace sim

using namespace sim;

namespace win {
extern "C" {

HANDLE FindFirstVolumeA(char* name, DWORD length) {
    CallGuard guard;
    DWORD error = InjectedError("FindFirstVolumeA");
    if (error == 0 && M->Cfg.Volumes.empty()) error = ERROR_NO_MORE_FILES;
    if (error != 0) {
        Event("FindFirstVolumeA -> fail " + std::to_string(error));
        LastError = error;
        return INVALID_HANDLE_VALUE;
    }
    const std::string& first = M->Cfg.Volumes[0].Name;
    if (first.size() + 1 > length) {
        LastError = ERROR_FILENAME_EXCED_RANGE;
        return INVALID_HANDLE_VALUE;
    }
    std::memcpy(name, first.c_str(), first.size() + 1);
    Object search;
    search.What = Kind::VolumeSearch;
    search.Name = "volume search";
    Event("FindFirstVolumeA " + first);
    return NewHandle(search);
}

BOOL FindNextVolumeA(HANDLE handle, char* name, DWORD length) {
    CallGuard guard;
    Object* search = Find(handle);
    if (search == nullptr || search->What != Kind::VolumeSearch) {
        Event("FindNextVolumeA invalid handle");
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (DWORD error = InjectedError("FindNextVolumeA")) {
        Event("FindNextVolumeA -> fail " + std::to_string(error));
        return Fail(error);
    }
    if (search->NextVolume >= M->Cfg.Volumes.size()) return Fail(ERROR_NO_MORE_FILES);
    const std::string& next = M->Cfg.Volumes[search->NextVolume++].Name;
    if (next.size() + 1 > length) return Fail(ERROR_FILENAME_EXCED_RANGE);
    std::memcpy(name, next.c_str(), next.size() + 1);
    Event("FindNextVolumeA " + next);
    return TRUE;
}

BOOL FindVolumeClose(HANDLE handle) {
    CallGuard guard;
    return CloseListing(handle, Kind::VolumeSearch, "FindVolumeClose");
}

UINT GetDriveTypeA(const char* root) {
    CallGuard guard;
    constexpr UINT DRIVE_NO_ROOT_DIR = 1;
    std::string path = root;
    if (path.empty() || path.back() != '\\') return DRIVE_NO_ROOT_DIR;
    path.pop_back();
    if (path.size() == 2 && path[1] == ':') {
        char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
        if (const Volume* volume = VolumeWithLetter(letter)) return volume->Type;
        if (const Letter* bare = BareLetter(letter)) return bare->Type;
        return DRIVE_NO_ROOT_DIR;
    }
    for (const Volume& volume : M->Cfg.Volumes)
        if (VolumeNameMatches(volume.Name, path)) return volume.Type;
    return DRIVE_NO_ROOT_DIR;
}

DWORD QueryDosDeviceA(const char* device, char* target, DWORD length) {
    CallGuard guard;
    std::string name = device;
    if (name.size() != 2 || name[1] != ':') return Fail(ERROR_FILE_NOT_FOUND), 0;
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    if (VolumeWithLetter(letter) == nullptr && BareLetter(letter) == nullptr) return Fail(ERROR_FILE_NOT_FOUND), 0;
    const Letter* bare = BareLetter(letter);
    std::string text =
        bare != nullptr && !bare->Target.empty() ? bare->Target : std::string("\\Device\\HarddiskVolume") + letter;
    if (text.size() + 2 > length) return Fail(ERROR_INSUFFICIENT_BUFFER), 0;
    std::memcpy(target, text.c_str(), text.size() + 1);
    target[text.size() + 1] = 0;
    return static_cast<DWORD>(text.size() + 2);
}

BOOL GetVolumePathNamesForVolumeNameA(const char* name, char* names, DWORD length, DWORD* returned) {
    CallGuard guard;
    std::string path = name;
    for (const Volume& volume : M->Cfg.Volumes) {
        if (volume.Name != path) continue;
        std::string list;
        if (volume.Letter != 0) list += std::string(1, volume.Letter) + ":\\" + '\0';
        for (const std::string& mount : volume.Mounts) list += mount + '\0';
        list += '\0';
        if (returned != nullptr) *returned = static_cast<DWORD>(list.size());
        if (list.size() > length) return Fail(ERROR_MORE_DATA);
        std::memcpy(names, list.data(), list.size());
        return TRUE;
    }
    return Fail(ERROR_INVALID_NAME);
}

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char*, HWND, DWORD flags) {
    CallGuard guard;
    Bind("SETUPAPI.dll");
    bool disks = classGuid != nullptr && std::memcmp(classGuid, &GUID_DEVINTERFACE_DISK, sizeof(GUID)) == 0;
    std::string call = "SetupDiGetClassDevsA flags " + Hex(flags) + (disks ? " disks" : " other");
    DWORD error = InjectedError(call);
    if (error == 0 && !disks) error = ERROR_INVALID_PARAMETER;
    Event(error != 0 ? call + " -> fail " + std::to_string(error) : call);
    if (error != 0) return Fail(error), INVALID_HANDLE_VALUE;
    Object set;
    set.What = Kind::DeviceSet;
    set.Name = "device set";
    return NewHandle(set);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO handle, void*, const GUID*, DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
    CallGuard guard;
    Object* set = Find(handle);
    if (set == nullptr || set->What != Kind::DeviceSet) return Fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<size_t> visible;
    for (size_t i = 0; i < M->Cfg.Interfaces.size(); ++i)
        if (!M->Cfg.Interfaces[i].Late || set->Walked) visible.push_back(i);
    if (index >= visible.size()) {
        set->Walked = true;  // plugged-in disks show up from the next walk on
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    data->InterfaceClassGuid = GUID_DEVINTERFACE_DISK;
    data->Flags = 1;
    data->Reserved = visible[index] + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize, DWORD* requiredSize,
                                      void*) {
    CallGuard guard;
    constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
    Object* set = Find(handle);
    if (set == nullptr || data == nullptr || data->Reserved == 0) return Fail(ERROR_INVALID_PARAMETER);
    const Interface& device = M->Cfg.Interfaces[data->Reserved - 1];
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + device.Path.size() + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (device.DetailFails) return Fail(ERROR_INVALID_PARAMETER);
    if (detail == nullptr || detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (needed > detailSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, device.Path.c_str(), device.Path.size() + 1);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    CallGuard guard;
    return CloseListing(handle, Kind::DeviceSet, "SetupDiDestroyDeviceInfoList");
}

}  // extern "C"
}  // namespace win
