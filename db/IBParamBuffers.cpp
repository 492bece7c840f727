// The parameter buffers built from option lists: the DPB that the attach
// reads and the TPB that the transaction start reads.
#include "IBDatabase.h"

#include "IBHeader.h"

#include <cstring>

namespace {

// Parameter buffers travel with a 16-bit signed length.
constexpr std::size_t kMaxParameterBuffer = 32767;
// A value or table name travels with a one-byte length.
constexpr std::size_t kMaxParameterValue = 255;

// DPB item names; the position (1 to 67) is the isc_dpb_ item code.
const char* const kDPBNames[] = {
    "",   // 0: not an item
    "cdd_pathname", "allocation", "journal", "page_size", "num_buffers",
    "buffer_length", "debug", "garbage_collect", "verify", "sweep",
    "enable_journal", "disable_journal", "dbkey_scope", "number_of_users", "trace",
    "no_garbage_collect", "damaged", "license", "sys_user_name", "encrypt_key",
    "activate_shadow", "sweep_interval", "delete_shadow", "force_write", "begin_log",
    "quit_log", "no_reserve", "user_name", "password", "password_enc",
    "sys_user_name_enc", "interp", "online_dump", "old_file_size", "old_num_files",
    "old_file", "old_start_page", "old_start_seqno", "old_start_file", "drop_walfile",
    "old_dump_id", "wal_backup_dir", "wal_chkptlen", "wal_numbufs", "wal_bufsize",
    "wal_grp_cmt_wait", "lc_messages", "lc_ctype", "cache_manager", "shutdown",
    "online", "shutdown_delay", "reserved", "overwrite", "sec_attach",
    "disable_wal", "connect_timeout", "dummy_packet_interval", "gbak_attach", "sql_role_name",
    "set_page_buffers", "working_directory", "sql_dialect", "set_db_readonly", "set_db_sql_dialect",
    "gfix_attach", "gstat_attach",
};
constexpr int kDPBNameCount = 67;

enum class TDPBKind { Refused, String, Dialect, Byte, Sweep, Flag, Int32 };

TDPBKind DPBKind(int code)
{
    switch (code) {
    case 18: case 19: case 20: case 28: case 29: case 30: case 47: case 48: case 60:
        return TDPBKind::String;
    case 63:
        return TDPBKind::Dialect;
    case 5: case 9: case 13: case 17: case 24: case 27:
        return TDPBKind::Byte;
    case 10:
        return TDPBKind::Sweep;
    case 21: case 23: case 25: case 26:
        return TDPBKind::Flag;
    case 22:
        return TDPBKind::Int32;
    default:
        return TDPBKind::Refused;
    }
}

// TPB option names; the position (1 to 20) is the isc_tpb_ item code.
const char* const kTPBNames[] = {
    "",   // 0: not an item
    "consistency", "concurrency", "shared", "protected", "exclusive",
    "wait", "nowait", "read", "write", "lock_read",
    "lock_write", "verb_time", "commit_time", "ignore_limbo", "read_committed",
    "autocommit", "rec_version", "no_rec_version", "restart_requests", "no_auto_undo",
};
constexpr int kTPBNameCount = 20;

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

void AppendShortValue(std::string& buffer, char code, const std::string& value, const std::string& nameAsWritten)
{
    if (value.size() > kMaxParameterValue)
        RaiseClientError(ibxeParameterValueTooLong, {nameAsWritten, std::int64_t(value.size())});
    buffer += code;
    buffer += static_cast<char>(value.size());
    buffer += value;
}

void RequireBufferFits(const std::string& buffer, const char* kind)
{
    if (buffer.size() > kMaxParameterBuffer)
        RaiseClientError(ibxeParameterBufferTooLong,
                         {std::string(kind), std::int64_t(buffer.size()), std::int64_t(kMaxParameterBuffer)});
}

} // namespace

std::string BuildDPB(const TStringList& params)
{
    std::string dpb(1, static_cast<char>(isc_dpb_version1));
    for (const std::string& line : params.Lines()) {
        const std::size_t eq = line.find('=');
        const std::string name = eq == std::string::npos ? std::string() : line.substr(0, eq);
        if (Trim(name).empty())
            continue;
        std::string key = LowerCase(name);
        const std::string value = line.substr(eq + 1);
        if (StartsWith(key, "isc_dpb_"))
            key.erase(0, 8);
        int code = 0;
        for (int i = 1; i <= kDPBNameCount; ++i)
            if (key == kDPBNames[i]) {
                code = i;
                break;
            }
        if (code == 0)
            RaiseClientError(ibxeDPBConstantUnknown, {name});
        const char item = static_cast<char>(code);
        switch (DPBKind(code)) {
        case TDPBKind::String:
            AppendShortValue(dpb, item, value, name);
            break;
        case TDPBKind::Dialect: {
            // The digit travels as its number: "3" becomes the byte 3.
            if (value.empty())
                RaiseClientError(ibxeSQLDialectInvalid);
            std::string digit = value;
            digit[0] = static_cast<char>(static_cast<unsigned char>(digit[0]) - 48);
            AppendShortValue(dpb, item, digit, name);
            break;
        }
        case TDPBKind::Byte:
            dpb += item;
            dpb += '\x01';
            dpb += static_cast<char>(StrToInt(value) & 0xFF);
            break;
        case TDPBKind::Sweep:
            dpb += item;
            dpb += '\x01';
            dpb += '\x02';
            break;
        case TDPBKind::Flag:
            dpb += item;
            dpb += '\x01';
            dpb += '\x00';
            break;
        case TDPBKind::Int32: {
            const std::uint32_t v = static_cast<std::uint32_t>(StrToInt(value));
            dpb += item;
            dpb += '\x04';
            for (int shift = 0; shift < 32; shift += 8)
                dpb += static_cast<char>((v >> shift) & 0xFF);
            break;
        }
        case TDPBKind::Refused:
            RaiseClientError(ibxeDPBConstantNotSupported, {std::string(kDPBNames[code])});
        }
    }
    RequireBufferFits(dpb, "DPB");
    return dpb;
}

std::string BuildTPB(const TStringList& params)
{
    if (params.Empty())
        return {};
    std::string tpb(1, static_cast<char>(isc_tpb_version3));
    for (const std::string& line : params.Lines()) {
        if (Trim(line).empty())
            continue;
        const std::size_t eq = line.find('=');
        const std::string nameAsWritten = eq == std::string::npos ? line : line.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        std::string name = LowerCase(nameAsWritten);
        if (StartsWith(name, "isc_tpb_"))
            name.erase(0, 8);
        int code = 0;
        for (int i = 1; i <= kTPBNameCount; ++i)
            if (name == kTPBNames[i]) {
                code = i;
                break;
            }
        switch (code) {
        case 0:
            RaiseClientError(ibxeTPBConstantUnknown, {nameAsWritten});
        case isc_tpb_verb_time:
        case isc_tpb_commit_time:
        case isc_tpb_autocommit:
        case isc_tpb_restart_requests:
        case isc_tpb_no_auto_undo:
            RaiseClientError(ibxeTPBConstantNotSupported, {std::string(kTPBNames[code])});
        case isc_tpb_lock_read:
        case isc_tpb_lock_write:
            AppendShortValue(tpb, static_cast<char>(code), value, nameAsWritten);
            break;
        default:
            tpb += static_cast<char>(code);
        }
    }
    RequireBufferFits(tpb, "TPB");
    return tpb;
}
