// JSON: reading to a tree, writing the tree as text, and reading twitter.json's statuses into a
// struct with the typed reader, each against RapidJSON and nlohmann::json on the same documents
// in the same run. Prints the bytes in use by each library's tree beside the timings. The
// documents come from ORV_JSON_BENCH_DATA; without them the program says so and measures nothing.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "orv-json2.h"

namespace {

const char* const kDocs[] = {"canada.json", "citm_catalog.json", "twitter.json"};

std::string g_text[3];

bool LoadDocs() {
    for (int i = 0; i < 3; ++i) {
        const std::string path = std::string(ORV_JSON_BENCH_DATA) + "/" + kDocs[i];
        FILE* f = fopen(path.c_str(), "rb");
        if (f == nullptr) {
            printf(
                "bench-json: %s is missing; set ORV_JSON_BENCH_DATA to the folder of canada.json, "
                "citm_catalog.json and twitter.json. Nothing measured.\n",
                path.c_str());
            return false;
        }
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            g_text[i].append(buf, n);
        fclose(f);
    }
    return true;
}

// Bytes the C heap has handed out and not taken back, including blocks it mapped on their own.
size_t HeapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// ---- parse ----

void OrvParse(benchmark::State& state) {
    const std::string& t = g_text[state.range(0)];
    for (auto _ : state) {
        COrvJsonRoot root;
        COrvError err;
        if (!OrvJsonParse(t.data(), t.size(), root, err))
            state.SkipWithError(err.Text());
        benchmark::DoNotOptimize(root.Get());
    }
    state.SetBytesProcessed(state.iterations() * t.size());
    state.SetLabel(kDocs[state.range(0)]);
}

void RapidParse(benchmark::State& state) {
    const std::string& t = g_text[state.range(0)];
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse(t.data(), t.size());
        if (d.HasParseError())
            state.SkipWithError("parse error");
        benchmark::DoNotOptimize(&d);
    }
    state.SetBytesProcessed(state.iterations() * t.size());
    state.SetLabel(kDocs[state.range(0)]);
}

void NlohmannParse(benchmark::State& state) {
    const std::string& t = g_text[state.range(0)];
    for (auto _ : state) {
        nlohmann::json j = nlohmann::json::parse(t, nullptr, false);
        if (j.is_discarded())
            state.SkipWithError("parse error");
        benchmark::DoNotOptimize(&j);
    }
    state.SetBytesProcessed(state.iterations() * t.size());
    state.SetLabel(kDocs[state.range(0)]);
}

// ---- write (the tree made once; UTF-8 and slashes written as they are, as the peers do) ----

void OrvWrite(benchmark::State& state) {
    const std::string& t = g_text[state.range(0)];
    COrvJsonRoot root;
    COrvError err;
    if (!OrvJsonParse(t.data(), t.size(), root, err))
        state.SkipWithError(err.Text());
    size_t nOut = 0;
    for (auto _ : state) {
        COrvStringA out;
        if (!OrvJsonWrite(root.Get(), out, enJsonWriteKeepUtf8 | enJsonWriteSlashPlain, err))
            state.SkipWithError(err.Text());
        nOut = out.GetLength();
    }
    state.SetBytesProcessed(state.iterations() * nOut);
    state.SetLabel(kDocs[state.range(0)]);
}

void RapidWrite(benchmark::State& state) {
    const std::string& t = g_text[state.range(0)];
    rapidjson::Document d;
    d.Parse(t.data(), t.size());
    size_t nOut = 0;
    for (auto _ : state) {
        rapidjson::StringBuffer sb;
        rapidjson::Writer<rapidjson::StringBuffer> w(sb);
        d.Accept(w);
        nOut = sb.GetSize();
    }
    state.SetBytesProcessed(state.iterations() * nOut);
    state.SetLabel(kDocs[state.range(0)]);
}

void NlohmannWrite(benchmark::State& state) {
    const std::string& t = g_text[state.range(0)];
    const nlohmann::json j = nlohmann::json::parse(t);
    size_t nOut = 0;
    for (auto _ : state) {
        const std::string s = j.dump();
        nOut = s.size();
    }
    state.SetBytesProcessed(state.iterations() * nOut);
    state.SetLabel(kDocs[state.range(0)]);
}

// ---- typed read of twitter.json's statuses ----

template <class S>
struct User {
    int64_t id = 0;
    S name, screen_name, location, description;
    int32_t followers_count = 0, friends_count = 0, statuses_count = 0;
    bool verified = false;
};

template <class S>
struct Status {
    int64_t id = 0;
    S id_str, created_at, text, source, lang;
    bool truncated = false, favorited = false, retweeted = false;
    int64_t in_reply_to_status_id = 0;  // 0 for null
    int32_t retweet_count = 0, favorite_count = 0;
    User<S> user;
};

// What the three readers must agree on.
template <class S>
size_t Digest(const std::vector<Status<S>>& v) {
    size_t h = v.size();
    for (const auto& s : v) {
        h = h * 31 + static_cast<size_t>(s.id) + static_cast<size_t>(s.user.id) +
            static_cast<size_t>(s.in_reply_to_status_id) + s.retweet_count + s.favorite_count +
            s.user.followers_count + s.user.friends_count + s.user.statuses_count +
            s.truncated * 2 + s.favorited * 3 + s.retweeted * 5 + s.user.verified * 7;
        for (const S* p : {&s.id_str, &s.created_at, &s.text, &s.source, &s.lang, &s.user.name,
                           &s.user.screen_name, &s.user.location, &s.user.description}) {
            const char* c = &(*p)[0];
            for (size_t k = 0, n = static_cast<size_t>(p->size()); k < n; ++k)
                h = h * 131 + static_cast<unsigned char>(c[k]);
        }
    }
    return h;
}

struct OrvStr : COrvStringA {
    size_t size() const { return static_cast<size_t>(GetLength()); }
    const char& operator[](size_t i) const { return GetString()[i]; }
};

// Properties of one object, each handed to f(name); f reads or skips the value.
template <class F>
bool OrvObject(COrvJsonReader& r, COrvError& err, F f) {
    if (!r.BeginObject(err))
        return false;
    for (;;) {
        bool bHave;
        COrvStringA name;
        if (!r.NextProperty(bHave, name, err))
            return false;
        if (!bHave)
            return true;
        if (!f(name))
            return false;
    }
}

bool OrvReadUser(COrvJsonReader& r, User<OrvStr>& u, COrvError& err) {
    return OrvObject(r, err, [&](const COrvStringA& n) {
        if (n == "id")
            return r.ReadInt64(u.id, err);
        if (n == "name")
            return r.ReadString(u.name, err);
        if (n == "screen_name")
            return r.ReadString(u.screen_name, err);
        if (n == "location")
            return r.ReadString(u.location, err);
        if (n == "description")
            return r.ReadString(u.description, err);
        if (n == "followers_count")
            return r.ReadInt32(u.followers_count, err);
        if (n == "friends_count")
            return r.ReadInt32(u.friends_count, err);
        if (n == "statuses_count")
            return r.ReadInt32(u.statuses_count, err);
        if (n == "verified")
            return r.ReadBool(u.verified, err);
        return r.Skip(err);
    });
}

bool OrvReadStatuses(const std::string& t, std::vector<Status<OrvStr>>& v, COrvError& err) {
    COrvJsonReader r(t.data(), t.size());
    return OrvObject(r, err,
                     [&](const COrvStringA& n) {
                         if (n != "statuses")
                             return r.Skip(err);
                         if (!r.BeginArray(err))
                             return false;
                         for (;;) {
                             bool bHave;
                             if (!r.NextElement(bHave, err))
                                 return false;
                             if (!bHave)
                                 return true;
                             Status<OrvStr>& s = v.emplace_back();
                             const bool bOk = OrvObject(r, err, [&](const COrvStringA& f) {
                                 if (f == "id")
                                     return r.ReadInt64(s.id, err);
                                 if (f == "id_str")
                                     return r.ReadString(s.id_str, err);
                                 if (f == "created_at")
                                     return r.ReadString(s.created_at, err);
                                 if (f == "text")
                                     return r.ReadString(s.text, err);
                                 if (f == "source")
                                     return r.ReadString(s.source, err);
                                 if (f == "lang")
                                     return r.ReadString(s.lang, err);
                                 if (f == "truncated")
                                     return r.ReadBool(s.truncated, err);
                                 if (f == "favorited")
                                     return r.ReadBool(s.favorited, err);
                                 if (f == "retweeted")
                                     return r.ReadBool(s.retweeted, err);
                                 if (f == "retweet_count")
                                     return r.ReadInt32(s.retweet_count, err);
                                 if (f == "favorite_count")
                                     return r.ReadInt32(s.favorite_count, err);
                                 if (f == "in_reply_to_status_id") {
                                     bool bNull;
                                     if (!r.ReadNull(bNull, err))
                                         return false;
                                     return bNull || r.ReadInt64(s.in_reply_to_status_id, err);
                                 }
                                 if (f == "user")
                                     return OrvReadUser(r, s.user, err);
                                 return r.Skip(err);
                             });
                             if (!bOk)
                                 return false;
                         }
                     }) &&
           r.Finish(err);
}

void RapidReadStatuses(const std::string& t, std::vector<Status<std::string>>& v) {
    rapidjson::Document d;
    d.Parse(t.data(), t.size());
    for (const auto& js : d["statuses"].GetArray()) {
        Status<std::string>& s = v.emplace_back();
        s.id = js["id"].GetInt64();
        s.id_str = js["id_str"].GetString();
        s.created_at = js["created_at"].GetString();
        s.text = js["text"].GetString();
        s.source = js["source"].GetString();
        s.lang = js["lang"].GetString();
        s.truncated = js["truncated"].GetBool();
        s.favorited = js["favorited"].GetBool();
        s.retweeted = js["retweeted"].GetBool();
        s.retweet_count = js["retweet_count"].GetInt();
        s.favorite_count = js["favorite_count"].GetInt();
        const auto& r = js["in_reply_to_status_id"];
        s.in_reply_to_status_id = r.IsNull() ? 0 : r.GetInt64();
        const auto& u = js["user"];
        s.user.id = u["id"].GetInt64();
        s.user.name = u["name"].GetString();
        s.user.screen_name = u["screen_name"].GetString();
        s.user.location = u["location"].GetString();
        s.user.description = u["description"].GetString();
        s.user.followers_count = u["followers_count"].GetInt();
        s.user.friends_count = u["friends_count"].GetInt();
        s.user.statuses_count = u["statuses_count"].GetInt();
        s.user.verified = u["verified"].GetBool();
    }
}

void NlohmannReadStatuses(const std::string& t, std::vector<Status<std::string>>& v) {
    const nlohmann::json d = nlohmann::json::parse(t);
    for (const auto& js : d["statuses"]) {
        Status<std::string>& s = v.emplace_back();
        s.id = js["id"].get<int64_t>();
        s.id_str = js["id_str"].get<std::string>();
        s.created_at = js["created_at"].get<std::string>();
        s.text = js["text"].get<std::string>();
        s.source = js["source"].get<std::string>();
        s.lang = js["lang"].get<std::string>();
        s.truncated = js["truncated"].get<bool>();
        s.favorited = js["favorited"].get<bool>();
        s.retweeted = js["retweeted"].get<bool>();
        s.retweet_count = js["retweet_count"].get<int32_t>();
        s.favorite_count = js["favorite_count"].get<int32_t>();
        const auto& r = js["in_reply_to_status_id"];
        s.in_reply_to_status_id = r.is_null() ? 0 : r.get<int64_t>();
        const auto& u = js["user"];
        s.user.id = u["id"].get<int64_t>();
        s.user.name = u["name"].get<std::string>();
        s.user.screen_name = u["screen_name"].get<std::string>();
        s.user.location = u["location"].get<std::string>();
        s.user.description = u["description"].get<std::string>();
        s.user.followers_count = u["followers_count"].get<int32_t>();
        s.user.friends_count = u["friends_count"].get<int32_t>();
        s.user.statuses_count = u["statuses_count"].get<int32_t>();
        s.user.verified = u["verified"].get<bool>();
    }
}

void OrvTyped(benchmark::State& state) {
    const std::string& t = g_text[2];
    for (auto _ : state) {
        std::vector<Status<OrvStr>> v;
        COrvError err;
        if (!OrvReadStatuses(t, v, err))
            state.SkipWithError(err.Text());
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(state.iterations() * t.size());
}

void RapidTyped(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<Status<std::string>> v;
        RapidReadStatuses(g_text[2], v);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(state.iterations() * g_text[2].size());
}

void NlohmannTyped(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<Status<std::string>> v;
        NlohmannReadStatuses(g_text[2], v);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(state.iterations() * g_text[2].size());
}

// Before timing: the three typed readers give the same statuses, and the heap bytes each
// library's tree holds.
bool Check() {
    std::vector<Status<OrvStr>> a;
    std::vector<Status<std::string>> b, c;
    COrvError err;
    if (!OrvReadStatuses(g_text[2], a, err)) {
        printf("typed reader failed: %s\n", err.Text().GetString());
        return false;
    }
    RapidReadStatuses(g_text[2], b);
    NlohmannReadStatuses(g_text[2], c);
    const bool bSame = a.size() == 100 && Digest(a) == Digest(b) && Digest(b) == Digest(c);
    printf("typed read of twitter.json: %zu statuses, same fields in all three: %s\n", a.size(),
           bSame ? "yes" : "NO");
    printf("%-18s %12s %12s %12s   (heap bytes held by the tree)\n", "document", "orv", "rapidjson",
           "nlohmann");
    for (int i = 0; i < 3; ++i) {
        const std::string& t = g_text[i];
        size_t n0 = HeapInUse();
        COrvJsonRoot root;
        if (!OrvJsonParse(t.data(), t.size(), root, err))
            return false;
        const size_t nOrv = HeapInUse() - n0;
        n0 = HeapInUse();
        auto* d = new rapidjson::Document();
        d->Parse(t.data(), t.size());
        const size_t nRapid = HeapInUse() - n0;
        n0 = HeapInUse();
        auto* j = new nlohmann::json(nlohmann::json::parse(t));
        const size_t nNl = HeapInUse() - n0;
        printf("%-18s %12zu %12zu %12zu\n", kDocs[i], nOrv, nRapid, nNl);
        delete d;
        delete j;
    }
    return bSame;
}

}  // namespace

BENCHMARK(OrvParse)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(RapidParse)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(NlohmannParse)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(OrvWrite)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(RapidWrite)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(NlohmannWrite)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(OrvTyped)->Unit(benchmark::kMillisecond);
BENCHMARK(RapidTyped)->Unit(benchmark::kMillisecond);
BENCHMARK(NlohmannTyped)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (!LoadDocs())
        return 0;
    if (!Check())
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
