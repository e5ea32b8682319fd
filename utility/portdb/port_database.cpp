#include "utility/portdb/port_database.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "common/store_layout.h"
#include "platform/core/text.h"
#include "utility/portdb/store_io.h"
#include "utility/strings/messages.h"
#include "utility/strings/strings.h"

namespace varolan::util {

namespace layout = varolan::layout;

namespace {

// Name and data buffers of the device map enumeration.
constexpr DWORD DEVICE_MAP_NAME_CAPACITY = 256;
constexpr DWORD DEVICE_MAP_DATA_CAPACITY = 256;
constexpr DWORD SUBKEY_NAME_CAPACITY = 256;

}  // namespace

bool KeyNameLess::operator()(std::string_view a, std::string_view b) const {
    return compare_nocase(a, b) < 0;
}

CPortDatabase::CPortDatabase() {
    LoadAll();
}

CPortDatabase::CPortDatabase(NoLoad) {}

CPortDatabase::~CPortDatabase() = default;

CPortRecord* CPortDatabase::find(std::string_view nt_device_name) const {
    const auto it = ports.find(nt_device_name);
    return it != ports.end() ? it->second.get() : nullptr;
}

bool CPortDatabase::LoadAll() {
    ports.clear();
    remote = RemoteSettingsPair{};
    product_key_path.clear();
    flags = 0;
    failure = StoreFailure{};

    if (!ReadConfiguration() || !SyncWithSerialComm() || !RemoveStaleKeys()) {
        return false;
    }
    if (!WritePortCount()) {
        message_box_id(IDS_ERR_UPDATE_MAIN_REGISTRY);
    }
    BeginEditing();
    flags |= LOADED;
    return true;
}

bool CPortDatabase::ReadConfiguration() {
    reg::Key product;
    if (const LONG status =
            reg::open_key(reg::hklm(), layout::PRODUCT_KEY_UTILITY, KEY_READ_WRITE, product);
        status != ERROR_SUCCESS) {
        note_failure(layout::PRODUCT_KEY_UTILITY, status);
        message_box_id(IDS_ERR_FIND_BASE);
        return false;
    }
    product_key_path = layout::PRODUCT_KEY_UTILITY;

    const std::pair<const char*, std::string*> remote_values[] = {
        {layout::VALUE_ESCAPE_CHAR, &remote.saved.escape},
        {layout::VALUE_TERMINAL_TYPE, &remote.saved.terminal_type},
        {layout::VALUE_PROMPT, &remote.saved.prompt},
    };
    for (const auto& [name, field] : remote_values) {
        if (!read_string(product, name, *field)) {
            field->clear();
            message_box_fmt(IDS_ERR_READ_REMOTE, name);
        }
    }

    for (DWORD index = 0;; ++index) {
        std::string name;
        if (reg::enum_key(product, index, name, SUBKEY_NAME_CAPACITY) != ERROR_SUCCESS) {
            break;
        }
        reg::Key port_key;
        if (const LONG status = reg::open_key(product, name, KEY_READ_WRITE, port_key);
            status != ERROR_SUCCESS) {
            note_failure(std::string(layout::PRODUCT_KEY_UTILITY) + "\\" + name, status);
            message_box_fmt(IDS_ERR_OPEN_PORT_KEY, name);
            return false;
        }
        auto record = std::make_unique<CPortRecord>(name);
        const bool caps_read = record->caps.ReadCaps(port_key);
        const bool settings_read = caps_read && record->saved.ReadSettings(port_key);
        if (caps_read && settings_read) {
            ports.emplace(name, std::move(record));
        } else {
            // A port key that cannot be read is left out of this run.
            message_box_fmt(caps_read ? IDS_ERR_READ_DEVICE_SETTINGS : IDS_ERR_READ_DEVICE_CAPS,
                            name);
            message_box_fmt(IDS_ERR_READ_LOCAL_INFO, name);
        }
    }
    return true;
}

bool CPortDatabase::SyncWithSerialComm() {
    reg::Key device_map;
    if (reg::open_key(reg::hklm(), layout::SERIALCOMM_KEY, reg::KEY_READ, device_map) !=
        ERROR_SUCCESS) {
        // No serial ports at all: every port key is stale.
        return true;
    }
    for (DWORD index = 0;; ++index) {
        std::string device_name;
        std::vector<std::uint8_t> data;
        if (reg::enum_value(device_map, index, device_name, nullptr, &data,
                            DEVICE_MAP_NAME_CAPACITY, DEVICE_MAP_DATA_CAPACITY) != ERROR_SUCCESS) {
            break;
        }
        const auto nul = std::find(data.begin(), data.end(), std::uint8_t{0});
        const std::string com_name(data.begin(), nul);

        if (CPortRecord* record = find(device_name)) {
            record->flags |= CPortRecord::PRESENT;
            if (!record->UpdateComName(product_key_path, com_name)) {
                message_box_fmt(IDS_ERR_UPDATE_COM_NAME, record->device_name);
            }
            if ((record->saved.device_flags & layout::DEVICE_NO_CAPS) != 0 &&
                record->caps.QueryDeviceCaps(com_name)) {
                reg::Key port_key;
                if (reg::open_key(reg::hklm(), record->port_key_path(product_key_path),
                                  reg::KEY_WRITE, port_key) != ERROR_SUCCESS) {
                    message_box_fmt(IDS_ERR_OPEN_PORT_KEY, record->device_name);
                } else if (record->caps.WriteCaps(port_key)) {
                    // In memory only: the stored flags keep the bit until the
                    // port's settings are next written.
                    record->saved.device_flags &= ~layout::DEVICE_NO_CAPS;
                } else {
                    message_box_fmt(IDS_ERR_UPDATE_DEVICE_CAPS, record->device_name);
                }
            }
            continue;
        }

        auto record = std::make_unique<CPortRecord>(device_name);
        if (record->CreatePortKey(product_key_path, com_name)) {
            record->flags |= CPortRecord::PRESENT;
            ports.emplace(device_name, std::move(record));
        } else {
            message_box_fmt(IDS_ERR_CREATE_REGISTRY, device_name);
        }
    }
    return true;
}

bool CPortDatabase::RemoveStaleKeys() {
    for (auto it = ports.begin(); it != ports.end();) {
        CPortRecord& record = *it->second;
        if (record.present()) {
            ++it;
            continue;
        }
        if (!record.DeletePortKey(product_key_path)) {
            note_failure(record.port_key_path(product_key_path), ERROR_SUCCESS);
            message_box_fmt(IDS_ERR_DELETE_DEVICE_KEY, record.port_key_path(product_key_path));
            return false;
        }
        it = ports.erase(it);
    }
    return true;
}

bool CPortDatabase::WritePortCount() {
    reg::Key product;
    if (reg::open_key(reg::hklm(), product_key_path, reg::KEY_WRITE, product) != ERROR_SUCCESS) {
        message_box_fmt(IDS_ERR_OPEN_BASE_KEY, product_key_path);
        return false;
    }
    return write_dword(product, layout::VALUE_NUMBER_OF_PORTS,
                       static_cast<std::uint32_t>(ports.size()));
}

bool CPortDatabase::SaveAll() {
    reg::Key product;
    if (const LONG status = reg::open_key(reg::hklm(), product_key_path, reg::KEY_WRITE, product);
        status != ERROR_SUCCESS) {
        note_failure(product_key_path, status);
        message_box_fmt(IDS_ERR_OPEN_BASE_KEY, product_key_path);
        return false;
    }
    if (!modified()) {
        return true;
    }
    bool result = true;
    if (!write_string(product, layout::VALUE_ESCAPE_CHAR, remote.current.escape) ||
        !write_string(product, layout::VALUE_TERMINAL_TYPE, remote.current.terminal_type) ||
        !write_string(product, layout::VALUE_PROMPT, remote.current.prompt)) {
        note_failure(product_key_path, ERROR_SUCCESS);
        message_box_id(IDS_ERR_UPDATE_REMOTE);
        result = false;
    }
    for (const auto& [name, record] : ports) {
        if (!record->changed()) {
            continue;
        }
        reg::Key port_key;
        if (const LONG status =
                reg::open_key(product, record->device_name, reg::KEY_WRITE, port_key);
            status != ERROR_SUCCESS) {
            note_failure(record->port_key_path(product_key_path), status);
            message_box_fmt(IDS_ERR_OPEN_PORT_KEY, record->device_name);
            result = false;
            continue;
        }
        if (!record->current.WriteSettings(port_key)) {
            note_failure(record->port_key_path(product_key_path), ERROR_SUCCESS);
            message_box_fmt(IDS_ERR_UPDATE_LOCAL_INFO, record->device_name);
            result = false;
        }
    }
    return result;
}

void CPortDatabase::note_failure(std::string key, LONG status) {
    if (!failure.happened()) {
        failure = StoreFailure{std::move(key), status};
    }
}

void CPortDatabase::BeginEditing() {
    remote.current = remote.saved;
    for (auto& [name, record] : ports) {
        record->current = record->saved;
    }
}

void CPortDatabase::RevertToSaved() {
    BeginEditing();
    for (auto& [name, record] : ports) {
        record->flags &= ~CPortRecord::CHANGED;
    }
    flags &= ~MODIFIED;
}

}  // namespace varolan::util
