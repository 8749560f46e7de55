// QR symbols against independent peers: segno builds the same symbol from the same version, level
// and mask (module grids must be equal) and picks its own version and level; rsvg-convert renders
// the SVG data URI and zbarimg must read back the very bytes encoded.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "orv-net-test-util.h"
#include "orv-qrcode.h"

namespace {

const char kPeer[] = "/usr/bin/python3 " ORV_QR_PEER_SCRIPT;
const char* const kLevelNames[] = {"L", "M", "Q", "H"};

// The peer's request for the grid of text at a fixed version, level and mask.
std::string MatrixRequest(const std::string& t, int nVersion, int nLevel, int nMask) {
    return "{\"op\":\"matrix\",\"data\":\"" + OrvTestHex(t) +
           "\",\"version\":" + std::to_string(nVersion) + ",\"level\":\"" + kLevelNames[nLevel] +
           "\",\"mask\":" + std::to_string(nMask) + "}";
}

std::string Matrix(const COrvQrCode& qr) {
    std::string out;
    for (int y = 0; y < qr.Size(); ++y) {
        out += y > 0 ? "|" : "";
        for (int x = 0; x < qr.Size(); ++x)
            out += qr.Module(x, y) ? '1' : '0';
    }
    return out;
}

std::string DataUri(const std::string& text) {
    COrvStringA uri;
    COrvError err;
    EXPECT_TRUE(
        OrvQrEncodeToSvgDataUri(COrvStringA(text.data(), static_cast<int>(text.size())), uri, err))
        << err.Text().GetString();
    return uri.GetString();
}

// For a set of texts: segno's version and level, segno's grid for our version, level and mask,
// and zbarimg's reading of our data URI (for every nDecodeStride-th text: rendering and reading
// are slow) must all agree with what was encoded.
void CheckAgainstPeers(const std::vector<std::string>& texts, size_t nDecodeStride = 1) {
    ASSERT_TRUE(OrvHaveProgram("zbarimg") && OrvHaveProgram("rsvg-convert"))
        << "packages zbar-tools, librsvg2-bin";
    std::vector<std::string> requests, ours;
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string& t = texts[i];
        COrvQrCode qr;
        COrvError err;
        ASSERT_TRUE(qr.Encode(t.data(), static_cast<int>(t.size()), err)) << t.size();
        const char* pszLevel = kLevelNames[static_cast<int>(qr.Level())];
        requests.push_back("{\"op\":\"auto\",\"data\":\"" + OrvTestHex(t) + "\"}");
        ours.push_back(std::to_string(qr.Version()) + " " + pszLevel);
        requests.push_back(MatrixRequest(t, qr.Version(), static_cast<int>(qr.Level()), qr.Mask()));
        ours.push_back(Matrix(qr));
        if (i % nDecodeStride == 0) {
            requests.push_back("{\"op\":\"decode\",\"uri\":\"" + DataUri(t) + "\"}");
            ours.push_back(OrvTestHex(t));
        }
    }
    std::vector<std::string> answers;
    ASSERT_TRUE(OrvRunOverLines(kPeer, requests, answers)) << "package python3-segno";
    ASSERT_EQ(answers.size(), ours.size());
    for (size_t i = 0; i < ours.size(); ++i)
        EXPECT_EQ(answers[i], ours[i]) << "check " << i << " (version, grid[, decode])";
}

TEST(OrvQrCode, EdgeCases) {
    COrvQrCode qr;
    COrvError err;
    ASSERT_TRUE(qr.Encode("", 0, err));
    EXPECT_EQ(qr.Version(), 1);
    EXPECT_EQ(qr.Level(), OrvQrLevel::High);

    const std::string longest(kOrvQrMaxBytes, 'x');
    ASSERT_TRUE(qr.Encode(longest.data(), kOrvQrMaxBytes, err));
    EXPECT_EQ(qr.Version(), 40);
    EXPECT_EQ(qr.Level(), OrvQrLevel::Medium);

    // One byte more fails with the text and code, and leaves no output behind.
    COrvStringA uri("stale");
    int nCode = 0;
    COrvStringA text;
    EXPECT_FALSE(OrvQrEncodeToSvgDataUri(COrvStringA((longest + "x").c_str()), uri, nCode, text));
    EXPECT_EQ(nCode, enNetBadRequest);
    EXPECT_TRUE(uri.IsEmpty());
}

// Every version at every level that the boost reaches: the shortest and the longest text that
// get each pair (the longest leave no room for a whole terminator or any pad byte).
TEST(OrvQrCode, EveryVersionAndLevelMatchesPeers) {
    std::map<std::pair<int, int>, int> first, last;
    COrvQrCode qr;
    COrvError err;
    for (int n = 0; n <= kOrvQrMaxBytes; ++n) {
        const std::string t(n, 'a');
        ASSERT_TRUE(qr.Encode(t.data(), n, err));
        const auto key = std::make_pair(qr.Version(), static_cast<int>(qr.Level()));
        first.emplace(key, n);
        last[key] = n;
    }
    std::vector<std::string> texts;
    std::mt19937 rng(42);
    for (const auto* pLengths : {&first, &last}) {
        for (const auto& [key, n] : *pLengths) {
            std::string t(n, '\0');
            for (char& c : t)
                c = static_cast<char>(rng());
            texts.push_back(t);
        }
    }
    for (int v = 1; v <= 40; ++v)
        EXPECT_EQ(first.count({v, static_cast<int>(OrvQrLevel::Medium)}), 1u) << v;
    CheckAgainstPeers(texts, 40);
}

// A fixed mask gives the grid segno gives for it, for every mask and level.
TEST(OrvQrCode, FixedMasksMatchPeer) {
    std::vector<std::string> requests, ours;
    const std::string t = "Mask";
    for (int level = 0; level < 4; ++level) {
        for (int m = 0; m < 8; ++m) {
            COrvQrCode qr;
            COrvError err;
            const int v = 1 + (level * 8 + m) % 10 * 4;  // versions 1..37, with version bits
            ASSERT_TRUE(qr.EncodeFixed(t.data(), static_cast<int>(t.size()), v,
                                       static_cast<OrvQrLevel>(level), m, err));
            requests.push_back(MatrixRequest(t, v, level, m));
            ours.push_back(Matrix(qr));
        }
    }
    std::vector<std::string> answers;
    ASSERT_TRUE(OrvRunOverLines(kPeer, requests, answers));
    EXPECT_EQ(answers, ours);
}

}  // namespace
