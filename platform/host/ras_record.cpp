#include "ras_record.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

namespace host {
namespace {

using board::reg::Value;

enum Kind { kNumber, kText, kAddress };

struct Field {
    const char *name;
    size_t offset;
    size_t size;
    Kind kind;
};

#define NUMBER(name, member) {name, offsetof(RASENTRY, member), sizeof(DWORD), kNumber}
#define TEXT_FIELD(name, member) \
    {name, offsetof(RASENTRY, member), sizeof(((RASENTRY *)0)->member), kText}
#define ADDRESS(name, member) {name, offsetof(RASENTRY, member), sizeof(RASIPADDR), kAddress}

// Every field but dwSize, in the record's order.
const Field kFields[] = {
    NUMBER("Options", dwfOptions),
    NUMBER("CountryID", dwCountryID),
    NUMBER("CountryCode", dwCountryCode),
    TEXT_FIELD("AreaCode", szAreaCode),
    TEXT_FIELD("LocalPhoneNumber", szLocalPhoneNumber),
    NUMBER("AlternateOffset", dwAlternateOffset),
    ADDRESS("IpAddress", ipaddr),
    ADDRESS("DnsAddress", ipaddrDns),
    ADDRESS("DnsAltAddress", ipaddrDnsAlt),
    ADDRESS("WinsAddress", ipaddrWins),
    ADDRESS("WinsAltAddress", ipaddrWinsAlt),
    NUMBER("FrameSize", dwFrameSize),
    NUMBER("NetProtocols", dwfNetProtocols),
    NUMBER("FramingProtocol", dwFramingProtocol),
    TEXT_FIELD("Script", szScript),
    TEXT_FIELD("AutodialDll", szAutodialDll),
    TEXT_FIELD("AutodialFunc", szAutodialFunc),
    TEXT_FIELD("DeviceType", szDeviceType),
    TEXT_FIELD("DeviceName", szDeviceName),
    TEXT_FIELD("X25PadType", szX25PadType),
    TEXT_FIELD("X25Address", szX25Address),
    TEXT_FIELD("X25Facilities", szX25Facilities),
    TEXT_FIELD("X25UserData", szX25UserData),
    NUMBER("Channels", dwChannels),
    NUMBER("Reserved1", dwReserved1),
    NUMBER("Reserved2", dwReserved2),
    NUMBER("CustomAuthKey", dwCustomAuthKey),
};

bool all_zero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

// Bytes of a text field up to and with its terminating zero, when nothing
// but zeros follows it; else empty.
std::vector<uint8_t> text_of(const uint8_t *p, size_t size)
{
    for (size_t i = 0; i + 1 < size; i += 2)
        if (!p[i] && !p[i + 1])
            return all_zero(p + i, size - i) ? std::vector<uint8_t>(p, p + i + 2)
                                             : std::vector<uint8_t>();
    return std::vector<uint8_t>();
}

std::vector<uint8_t> ascii_sz(const std::string &s)
{
    std::vector<uint8_t> out;
    for (char c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

bool address_from(const std::vector<uint8_t> &data, uint8_t *out)
{
    std::string s;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        if (data[i + 1] || (!data[i] && i + 2 != data.size()))
            return false;
        if (data[i])
            s += static_cast<char>(data[i]);
    }
    unsigned a, b, c, d;
    char check[16];
    if (std::sscanf(s.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a > 255 || b > 255 ||
        c > 255 || d > 255)
        return false;
    std::snprintf(check, sizeof check, "%u.%u.%u.%u", a, b, c, d);
    if (s != check)
        return false;
    out[0] = static_cast<uint8_t>(a);
    out[1] = static_cast<uint8_t>(b);
    out[2] = static_cast<uint8_t>(c);
    out[3] = static_cast<uint8_t>(d);
    return true;
}

}  // namespace

std::vector<Value> entry_values(const RASENTRY &entry)
{
    const uint8_t *record = reinterpret_cast<const uint8_t *>(&entry);
    std::vector<Value> out;
    for (const Field &f : kFields) {
        const uint8_t *p = record + f.offset;
        if (all_zero(p, f.size))
            continue;
        Value v{f.name, board::reg::kBinary, std::vector<uint8_t>(p, p + f.size)};
        if (f.kind == kNumber) {
            v.type = board::reg::kDword;
        } else if (f.kind == kAddress) {
            char text[16];
            std::snprintf(text, sizeof text, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
            v.type = board::reg::kSz;
            v.data = ascii_sz(text);
        } else if (!text_of(p, f.size).empty()) {
            v.type = board::reg::kSz;
            v.data = text_of(p, f.size);
        }
        out.push_back(v);
    }
    return out;
}

bool entry_from_values(const std::vector<Value> &values, RASENTRY *entry)
{
    std::memset(entry, 0, sizeof *entry);
    entry->dwSize = sizeof *entry;
    uint8_t *record = reinterpret_cast<uint8_t *>(entry);
    for (const Field &f : kFields) {
        const Value *v = nullptr;
        for (const Value &candidate : values)
            if (board::reg::same_name(candidate.name, f.name))
                v = &candidate;
        if (!v)
            continue;
        uint8_t *p = record + f.offset;
        const std::vector<uint8_t> &d = v->data;
        bool exact = d.size() == f.size;
        if (f.kind == kNumber && v->type == board::reg::kDword && exact) {
            std::memcpy(p, d.data(), f.size);
        } else if (f.kind == kAddress && v->type == board::reg::kSz) {
            if (!address_from(d, p))
                return false;
        } else if (f.kind == kText && v->type == board::reg::kBinary && exact) {
            std::memcpy(p, d.data(), f.size);
        } else if (f.kind == kText && v->type == board::reg::kSz && d.size() <= f.size &&
                   d.size() >= 2 && d.size() % 2 == 0 && !d[d.size() - 1] && !d[d.size() - 2]) {
            std::memcpy(p, d.data(), d.size());
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace host
