// Writes the PPD of one supported model, named by its driver, from the model
// table, so that a CUPS queue offers what the Printer Application offers.
//
//   make_ppd DRIVER OUTPUT
#include <cmath>
#include <cstdio>
#include <cstring>

#include <cups/cups.h>

#include "checks/models.h"

namespace {

// PostScript points from hundredths of a millimetre.
long points(int hundredths_mm)
{
    return std::lround(hundredths_mm * 72.0 / 2540.0);
}

void write_header(FILE *out, const SupportedModel &m)
{
    char device_id[256];
    model_device_id(m, device_id, sizeof(device_id));
    // An 8.3 name for the systems that still want one: the model's first word.
    const int word = static_cast<int>(strcspn(m.model, " "));
    fprintf(out,
            "*PPD-Adobe: \"4.3\"\n"
            "*%% PostScript printer description for the %s %s, printing\n"
            "*%% through the quovel-gate filter.\n"
            "*FormatVersion: \"4.3\"\n"
            "*FileVersion: \"1.1\"\n"
            "*LanguageVersion: English\n"
            "*LanguageEncoding: ISOLatin1\n"
            "*PCFileName: \"%.*s.PPD\"\n"
            "*Manufacturer: \"%s\"\n"
            "*Product: \"(%s)\"\n"
            "*ModelName: \"%s %s\"\n"
            "*ShortNickName: \"%s\"\n"
            "*NickName: \"%s %s\"\n"
            "*1284DeviceID: \"%s\"\n"
            "*PSVersion: \"(3010.000) 0\"\n"
            "*LanguageLevel: \"3\"\n"
            "*ColorDevice: %s\n"
            "*DefaultColorSpace: %s\n"
            "*FileSystem: False\n"
            "*Throughput: \"%d\"\n"
            "*LandscapeOrientation: Plus90\n"
            "*TTRasterizer: Type42\n"
            "*cupsVersion: 2.4\n"
            "*cupsFilter2: \"application/vnd.cups-postscript application/vnd.cups-postscript 0 "
            "quovel-gate\"\n",
            m.make, m.model, word < 8 ? word : 8, m.model, m.make, m.model, m.make, m.model,
            m.nickname, m.make, m.nickname, device_id, m.color ? "True" : "False",
            m.color ? "RGB" : "Gray", m.ppm);
}

// The sizes as PageSize and PageRegion choices, with their printable areas.
bool write_media(FILE *out, const SupportedModel &m)
{
    if (m.num_media < 1 || m.num_media > kModelMaxMedia) {
        fprintf(stderr, "make_ppd: %s has %d sizes\n", m.driver, m.num_media);
        return false;
    }
    const pwg_media_t *sizes[kModelMaxMedia] = {};
    for (int i = 0; i < m.num_media; i++) {
        sizes[i] = pwgMediaForPWG(m.media[i]);
        if (sizes[i] == nullptr || sizes[i]->ppd == nullptr) {
            fprintf(stderr, "make_ppd: no PPD name for %s\n", m.media[i]);
            return false;
        }
    }
    static const char *const kKeywords[] = {"PageSize", "PageRegion"};
    for (const char *keyword : kKeywords) {
        fprintf(out, "\n*OpenUI *%s/Media Size: PickOne\n*OrderDependency: 10 AnySetup *%s\n",
                keyword, keyword);
        fprintf(out, "*Default%s: %s\n", keyword, sizes[0]->ppd);
        for (int i = 0; i < m.num_media; i++)
            fprintf(out, "*%s %s/%s: \"<</PageSize[%ld %ld]/ImagingBBox null>>setpagedevice\"\n",
                    keyword, sizes[i]->ppd, sizes[i]->ppd, points(sizes[i]->width),
                    points(sizes[i]->length));
        fprintf(out, "*CloseUI: *%s\n", keyword);
    }
    const long margin = points(m.margin);
    fprintf(out, "\n*DefaultImageableArea: %s\n", sizes[0]->ppd);
    for (int i = 0; i < m.num_media; i++)
        fprintf(out, "*ImageableArea %s/%s: \"%ld %ld %ld %ld\"\n", sizes[i]->ppd, sizes[i]->ppd,
                margin, margin, points(sizes[i]->width) - margin,
                points(sizes[i]->length) - margin);
    fprintf(out, "\n*DefaultPaperDimension: %s\n", sizes[0]->ppd);
    for (int i = 0; i < m.num_media; i++)
        fprintf(out, "*PaperDimension %s/%s: \"%ld %ld\"\n", sizes[i]->ppd, sizes[i]->ppd,
                points(sizes[i]->width), points(sizes[i]->length));
    return true;
}

void write_options(FILE *out, const SupportedModel &m)
{
    fprintf(out,
            "\n*OpenUI *Resolution/Resolution: PickOne\n"
            "*OrderDependency: 20 AnySetup *Resolution\n"
            "*DefaultResolution: %ddpi\n",
            m.default_resolution);
    for (int i = 0; i < m.num_resolutions; i++)
        fprintf(out, "*Resolution %ddpi/%d dpi: \"<</HWResolution[%d %d]>>setpagedevice\"\n",
                m.resolutions[i], m.resolutions[i], m.resolutions[i], m.resolutions[i]);
    fputs("*CloseUI: *Resolution\n", out);

    if (m.duplex)
        fputs("\n*OpenUI *Duplex/Two-Sided: PickOne\n"
              "*OrderDependency: 30 AnySetup *Duplex\n"
              "*DefaultDuplex: None\n"
              "*Duplex None/Off: \"<</Duplex false/Tumble false>>setpagedevice\"\n"
              "*Duplex DuplexNoTumble/Long Edge: \"<</Duplex true/Tumble false>>setpagedevice\"\n"
              "*Duplex DuplexTumble/Short Edge: \"<</Duplex true/Tumble true>>setpagedevice\"\n"
              "*CloseUI: *Duplex\n",
              out);

    fputs("\n*DefaultFont: Courier\n"
          "*Font Courier: Standard \"(002.004S)\" Standard ROM\n"
          "*Font Courier-Bold: Standard \"(002.004S)\" Standard ROM\n"
          "*Font Helvetica: Standard \"(001.006S)\" Standard ROM\n"
          "*Font Times-Roman: Standard \"(001.007S)\" Standard ROM\n",
          out);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        fputs("usage: make_ppd DRIVER OUTPUT\n", stderr);
        return 2;
    }
    const SupportedModel *m = model_by_driver(argv[1]);
    if (m == nullptr) {
        fprintf(stderr, "make_ppd: no model has the driver %s\n", argv[1]);
        return 1;
    }
    const char *file_name = strrchr(argv[2], '/');
    file_name = file_name != nullptr ? file_name + 1 : argv[2];

    FILE *out = fopen(argv[2], "w");
    if (out == nullptr) {
        perror(argv[2]);
        return 1;
    }
    write_header(out, *m);
    const bool ok = write_media(out, *m);
    write_options(out, *m);
    fprintf(out, "*%% End of %s\n", file_name);
    // A half-written PPD must not stay behind looking like a made one.
    if (fclose(out) != 0 || !ok) {
        fprintf(stderr, "make_ppd: could not write %s\n", argv[2]);
        remove(argv[2]);
        return 1;
    }
    return 0;
}
