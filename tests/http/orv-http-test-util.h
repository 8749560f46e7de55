// Helpers of the HTTP suites: in-memory responses and gzip data.
#pragma once

#include <zlib.h>

#include <string>

#include <gtest/gtest.h>

#include "orv-http-io.h"
#include "orv-string.h"

inline COrvStringA ToOrv(const std::string& s) {
    return COrvStringA(s.data(), static_cast<int>(s.size()));
}
inline std::string ToStd(const COrvStringA& s) {
    return std::string(s.GetString(), s.GetLength());
}

// The value of a request header as the scripted server's /echo reported it ("" when absent).
inline std::string EchoHeader(const std::string& json, const std::string& name) {
    const std::string key = "[\"" + name + "\", \"";
    const size_t i = json.find(key);
    if (i == std::string::npos)
        return "";
    const size_t b = i + key.size();
    return json.substr(b, json.find('"', b) - b);
}

// gzip-wrapped deflate of the bytes.
inline std::string GzipBytes(const std::string& in) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, in.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A reader over bytes given out in slices of nSlice bytes.
struct MemReader {
    explicit MemReader(const std::string& s, int nSlice = 1 << 30)
        : source(s.data(), static_cast<int>(s.size()), nSlice), reader(&source, 64) {}
    COrvMemorySource source;
    COrvHttpReader reader;
};
