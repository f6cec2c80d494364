// The controls the virtual camera can offer: kernel ids, names and types.
#pragma once

#include <cstdint>
#include <string_view>

namespace kv {

enum class CtrlType { Integer, Boolean, Menu };

struct ControlInfo {
    std::string_view key;         // lower snake case, as v4l2-ctl prints it
    std::uint32_t id;             // V4L2_CID_*
    CtrlType type;
    std::string_view kernelName;  // the kernel's control name
    std::uint32_t masterId;       // automatic control that makes this one inactive, or 0
    std::int32_t masterManual;    // the master's value that means "manual"
    const char* const* menu;      // item names, nullptr-terminated, for menus
};

// By key or alias; nullptr when unknown.
const ControlInfo* findControlByKey(std::string_view key);
const ControlInfo* findControlById(std::uint32_t id);

// Number of items of a menu control.
int menuSize(const ControlInfo& info);

}  // namespace kv
