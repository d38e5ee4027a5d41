// A device record fed an arbitrary sequence of bands and document ends:
// headers, sizes, blank flags, callback identifiers, depths and palettes
// all come from the input. Whatever the input, nothing crashes or leaks;
// where the bands form a well-formed 1-bit document, what reaches the
// printer at its end is checked against the whole-job model.
#include <vector>

#include "fuzz/fuzz_support.h"
#include "oemdll/capture/hooks.h"
#include "oemdll/host/services.h"
#include "printhost/host_ddi.h"
#include "printhost/spool_helper.h"
#include "tests/support/stream_model.h"

namespace {

struct Sink {
    std::vector<BYTE> stream;
    static DWORD APIENTRY Write(PDEVOBJ pdevobj, PVOID buffer, DWORD size) {
        auto* self = reinterpret_cast<Sink*>(pdevobj->hOEM);
        const BYTE* bytes = static_cast<const BYTE*>(buffer);
        self->stream.insert(self->stream.end(), bytes, bytes + size);
        return size;
    }
};

class Harness {
public:
    explicit Harness(IPrintOemUni2* plugin) : plugin_(plugin) {
        procs_.DrvWriteSpoolBuf = &Sink::Write;
        devobj_.dwSize = sizeof devobj_;
        devobj_.pDrvProcs = &procs_;
        devobj_.hOEM = reinterpret_cast<HANDLE>(&sink_);
        ddi_.Attach(surface_, &devobj_);
    }
    ~Harness() { Disable(); }

    void Enable(fuzz::Input& in) {
        Disable();
        const std::uint8_t depths[] = {1, 8, 24, 4};
        GDIINFO gdi{};
        gdi.cBitsPixel = depths[in.Byte() % 4];
        const int entries = in.Byte();
        palette_ = nullptr;
        if (entries > 0) {
            std::vector<BYTE> storage(sizeof(LOGPALETTE) + entries * sizeof(PALETTEENTRY));
            auto* logical = reinterpret_cast<LOGPALETTE*>(storage.data());
            logical->palVersion = 0x300;
            logical->palNumEntries = static_cast<WORD>(entries);
            for (int i = 0; i < entries; ++i) logical->palPalEntry[i] = PALETTEENTRY{BYTE(i), BYTE(i * 3), BYTE(i * 7), 0};
            palette_ = CreatePalette(logical);
        }
        DEVINFO dev{};
        dev.hpalDefault = palette_;
        DRVENABLEDATA table = ddi_.EnableData();
        PDEVOEM record = nullptr;
        fuzz::Check(plugin_->EnablePDEV(&devobj_, nullptr, 0, nullptr, sizeof gdi, &gdi, sizeof dev, &dev, &table,
                                        &record) == S_OK,
                    "EnablePDEV failed");
        devobj_.pdevOEM = record;
        engPalette_ = gdi.cBitsPixel == 24 ? dev.hpalDefault : nullptr;
        enabled_ = true;
        StartDocument();
    }

    void Band(fuzz::Input& in) {
        if (!enabled_) return;
        const std::uint8_t shape = in.Byte();
        const DWORD callbackId = in.Byte() % 6;
        BITMAPINFOHEADER header{};
        header.biSize = sizeof header;
        header.biPlanes = 1;
        IPPARAMS params{};
        params.dwSize = sizeof params;
        std::vector<BYTE> pixels;
        standin::Page rows;
        bool wellFormed = (shape & 0x80) == 0;

        if (wellFormed) {
            // As the host renders: 1-bit rows of the document's width, padding white.
            if (documentWidth_ == 0) documentWidth_ = 1 + (in.Word() % 450);
            const LONG width = documentWidth_;
            const LONG height = 1 + in.Byte() % 24;
            const LONG stride = ((width + 31) / 32) * 4;
            const bool blank = (shape & 1) != 0;
            header.biWidth = width;
            header.biHeight = height;
            header.biBitCount = 1;
            header.biSizeImage = static_cast<DWORD>(stride * height);
            pixels.assign(header.biSizeImage, 0xFF);
            rows.width = width;
            rows.height = height;
            rows.dots.assign(static_cast<size_t>(width * height), 0);
            for (LONG y = 0; y < height && !blank; ++y)
                for (LONG x = 0; x < width; x += 8) {
                    const std::uint8_t ink = in.Byte();
                    for (LONG b = 0; b < 8 && x + b < width; ++b) {
                        if (!(ink & (0x80 >> b))) continue;
                        rows.dots[static_cast<size_t>(y * width + x + b)] = 1;
                        pixels[static_cast<size_t>(y * stride + (x + b) / 8)] &= BYTE(~(0x80 >> ((x + b) % 8)));
                    }
                }
            params.bBlankBand = blank;
        } else {
            // Anything at all, within what the host's own buffer holds.
            header.biWidth = static_cast<LONG>(in.Dword());
            header.biHeight = static_cast<LONG>(in.Dword());
            header.biBitCount = in.Word();
            header.biSizeImage = in.Dword() % 4096;
            params.bBlankBand = (shape & 1) != 0;
            if (!params.bBlankBand) {
                size_t n = header.biSizeImage;
                const std::uint8_t* bytes = in.Take(n);
                pixels.assign(bytes, bytes + n);
                pixels.resize(header.biSizeImage, 0);
            }
        }
        PBYTE result = nullptr;
        const HRESULT hr = plugin_->ImageProcessing(&devobj_, params.bBlankBand ? nullptr : pixels.data(), &header,
                                                    nullptr, callbackId, &params, &result);
        fuzz::Check(hr == S_OK || hr == E_FAIL, "unexpected ImageProcessing result");
        if (hr != S_OK || !wellFormed) {
            documentWellFormed_ = false;
            return;
        }
        fuzz::Check(result != nullptr, "a taken band answers with a result");
        document_.height += rows.height;
        document_.dots.insert(document_.dots.end(), rows.dots.begin(), rows.dots.end());
    }

    void EndDoc(fuzz::Input& in) {
        if (!enabled_) return;
        sink_.stream.clear();
        const FLONG flags = in.Byte() & 1;
        DrvEndDoc(&surface_.surface, flags);
        // The header is taken from the document's first band, so a
        // document whose every band was well formed can be modelled.
        if (documentWellFormed_ && document_.height > 0) {
            document_.width = documentWidth_;
            const testsupport::Stream expected = testsupport::ModelCapture({{document_}});
            fuzz::Check(sink_.stream == expected, "the printer stream differs from the model");
        }
        if (document_.height == 0 && documentWellFormed_) fuzz::Check(sink_.stream.empty(), "printed without bands");
        StartDocument();
    }

    void Disable() {
        if (!enabled_) return;
        fuzz::Check(plugin_->DisablePDEV(&devobj_) == S_OK, "DisablePDEV failed");
        devobj_.pdevOEM = nullptr;
        if (palette_) DeleteObject(palette_);
        if (engPalette_) DeleteObject(engPalette_);
        palette_ = engPalette_ = nullptr;
        enabled_ = false;
    }

private:
    void StartDocument() {
        document_ = standin::Page{};
        documentWidth_ = 0;
        documentWellFormed_ = true;
    }

    IPrintOemUni2* plugin_;
    Sink sink_;
    DRVPROCS procs_{};
    DEVOBJ devobj_{};
    printhost::HostDdi ddi_;
    printhost::HostSurface surface_{};
    HPALETTE palette_ = nullptr;
    HPALETTE engPalette_ = nullptr;
    bool enabled_ = false;
    LONG documentWidth_ = 0;
    bool documentWellFormed_ = true;
    standin::Page document_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    IPrintOemUni2* plugin = fuzz::CreatePlugin();
    {
        Harness harness(plugin);
        int steps = 0;
        while (in.left() > 0 && ++steps < 200) {
            switch (in.Byte() % 8) {
                case 0: harness.Enable(in); break;
                case 1:
                case 2:
                case 3:
                case 4: harness.Band(in); break;
                case 5:
                case 6: harness.EndDoc(in); break;
                default: harness.Disable(); break;
            }
        }
    }
    fuzz::ReleasePlugin(plugin);
    return 0;
}
