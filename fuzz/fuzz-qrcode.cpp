// Fuzz target: QR encoding of arbitrary bytes. Texts up to the limit encode, longer ones fail
// with nothing left behind; the version is the smallest that holds the text at level M and the
// level the highest that still holds it; the SVG draws one square per dark module; and zbar reads
// the very bytes back from the module grid.
#include <zbar.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz-check.h"
#include "orv-qrcode.h"

using namespace zbar;

namespace {

// The bytes zbar reads from the symbol drawn at 3 pixels per module with a 4-module border.
bool ZbarReads(const COrvQrCode& qr, const uint8_t* data, size_t size) {
    const int kScale = 3, kBorder = 4;
    const int nDim = (qr.Size() + 2 * kBorder) * kScale;
    std::vector<uint8_t> pixels(static_cast<size_t>(nDim) * nDim, 0xFF);
    for (int y = 0; y < qr.Size(); ++y)
        for (int x = 0; x < qr.Size(); ++x)
            if (qr.Module(x, y))
                for (int dy = 0; dy < kScale; ++dy)
                    memset(&pixels[static_cast<size_t>((y + kBorder) * kScale + dy) * nDim +
                                   (x + kBorder) * kScale],
                           0, kScale);
    zbar_image_scanner_t* pScanner = zbar_image_scanner_create();
    zbar_image_scanner_set_config(pScanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
    zbar_image_scanner_set_config(pScanner, ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
    zbar_image_scanner_set_config(pScanner, ZBAR_QRCODE, ZBAR_CFG_BINARY, 1);
    zbar_image_t* pImage = zbar_image_create();
    zbar_image_set_format(pImage, zbar_fourcc('Y', '8', '0', '0'));
    zbar_image_set_size(pImage, nDim, nDim);
    zbar_image_set_data(pImage, pixels.data(), pixels.size(), nullptr);
    bool bSame = false;
    if (zbar_scan_image(pScanner, pImage) == 1) {
        const zbar_symbol_t* pSym = zbar_image_first_symbol(pImage);
        bSame = zbar_symbol_get_data_length(pSym) == size &&
                (size == 0 || memcmp(zbar_symbol_get_data(pSym), data, size) == 0);
    }
    zbar_image_destroy(pImage);
    zbar_image_scanner_destroy(pScanner);
    return bSame;
}

int Count(const COrvStringA& s, const char* psz) {
    int n = 0;
    for (int i = s.Find(psz); i >= 0; i = s.Find(psz, i + 1))
        ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4000)
        return 0;
    const int n = static_cast<int>(size);
    COrvQrCode qr;
    COrvError err;
    if (!qr.Encode(data, n, err)) {
        Check(n > kOrvQrMaxBytes && err.Code() == enNetBadRequest && qr.Size() == 0);
        COrvStringA uri("x");
        Check(!OrvQrEncodeToSvgDataUri(COrvStringA(reinterpret_cast<const char*>(data), n), uri,
                                       err) &&
              uri.IsEmpty());
        return 0;
    }
    Check(n <= kOrvQrMaxBytes && qr.Size() == 4 * qr.Version() + 17);
    Check(n <= COrvQrCode::CapacityBytes(qr.Version(), qr.Level()));
    Check(qr.Version() == 1 || n > COrvQrCode::CapacityBytes(qr.Version() - 1, OrvQrLevel::Medium));
    const int l = static_cast<int>(qr.Level());
    Check(l >= 1 &&
          (l == 3 || n > COrvQrCode::CapacityBytes(qr.Version(), static_cast<OrvQrLevel>(l + 1))));
    int nDark = 0;
    for (int y = 0; y < qr.Size(); ++y)
        for (int x = 0; x < qr.Size(); ++x)
            nDark += qr.Module(x, y);
    Check(Count(qr.ToSvg(4), "h1v1h-1z") == nDark);
    Check(ZbarReads(qr, data, size));
    return 0;
}
