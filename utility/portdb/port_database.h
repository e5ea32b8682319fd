// The utility's in-memory configuration: the pipe users' settings and one
// CPortRecord per serial port, loaded from the store and brought into line with
// the machine's serial ports, edited by the dialogs and written back on exit.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "utility/portdb/port_record.h"

namespace varolan::util {

// Store key names are case-insensitive, so the map is too: one record per key.
struct KeyNameLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

using PortMap = std::map<std::string, std::unique_ptr<CPortRecord>, KeyNameLess>;

// The store failure that ended LoadAll, or the first one of SaveAll, for the
// report of a failed run: the key concerned and the store's status when the
// call gave one (ERROR_SUCCESS when it only said "failed").
struct StoreFailure {
    std::string key;
    LONG status = ERROR_SUCCESS;
    bool happened() const { return !key.empty(); }
};

class CPortDatabase {
  public:
    // Bits of `flags`.
    static constexpr std::uint32_t LOADED = 0x1;    // LoadAll succeeded
    static constexpr std::uint32_t MODIFIED = 0x2;  // something was changed in this run

    // Runs LoadAll; the caller tests loaded().
    CPortDatabase();
    // An empty database that touches no store (for tests of the dialogs).
    struct NoLoad {};
    explicit CPortDatabase(NoLoad);
    virtual ~CPortDatabase();
    CPortDatabase(const CPortDatabase&) = delete;
    CPortDatabase& operator=(const CPortDatabase&) = delete;

    bool LoadAll();
    // Writes the current remote settings and every changed record when
    // something was modified; reports each failure and goes on.
    bool SaveAll();
    // current := saved everywhere; clears every `changed` bit and `modified`.
    void RevertToSaved();
    // current := saved everywhere; flags untouched.
    void BeginEditing();

    // The steps of LoadAll.
    bool ReadConfiguration();
    bool SyncWithSerialComm();
    bool RemoveStaleKeys();
    bool WritePortCount();

    bool loaded() const { return (flags & LOADED) != 0; }
    bool modified() const { return (flags & MODIFIED) != 0; }
    void set_modified() { flags |= MODIFIED; }

    // The record of an NT device name, or null.
    CPortRecord* find(std::string_view nt_device_name) const;

    RemoteSettingsPair remote;
    PortMap ports;
    StoreFailure failure;
    std::string product_key_path;  // set once the product key has been opened
    std::uint32_t flags = 0;

  private:
    // Keeps the first failure of a load or a save.
    void note_failure(std::string key, LONG status);
};

}  // namespace varolan::util
