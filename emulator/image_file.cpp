// Reading PNG and JPEG files into 8-bit sRGB for Scene::FromImageFile.
#include <csetjmp>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <memory>

#include <jpeglib.h>
#include <png.h>

#include "emulator/scene.h"

namespace kscam::emulator {
namespace {

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Image size limit: enough for any camera or scanner picture, small enough that a corrupt
// header cannot ask for gigabytes.
constexpr uint64_t kMaxPixels = 100'000'000;

[[noreturn]] void PngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWarning(png_structp, png_const_charp) {}

bool ReadPng(FILE* f, std::vector<uint8_t>& rgb, uint32_t& width, uint32_t& height,
             std::string& error) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
  if (!png) return error = "out of memory", false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return error = "out of memory", false;
  }
  std::vector<png_bytep> rows;  // declared before setjmp so a longjmp leaves it intact
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return error = "not a readable PNG file", false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  if (w == 0 || h == 0 || uint64_t(w) * h > kMaxPixels) {
    png_destroy_read_struct(&png, &info, nullptr);
    return error = "PNG image size out of range", false;
  }
  png_set_expand(png);  // palette and low-depth grey to 8 bits, tRNS to alpha
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  png_set_gray_to_rgb(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != size_t(w) * 3) {
    png_destroy_read_struct(&png, &info, nullptr);
    return error = "unsupported PNG layout", false;
  }
  rgb.resize(size_t(w) * h * 3);
  rows.resize(h);
  for (png_uint_32 y = 0; y < h; ++y) rows[y] = rgb.data() + size_t(y) * w * 3;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  width = w;
  height = h;
  return true;
}

struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void JpegErrorExit(j_common_ptr cinfo) {
  longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

void JpegSilence(j_common_ptr, int) {}

bool ReadJpeg(FILE* f, std::vector<uint8_t>& rgb, uint32_t& width, uint32_t& height,
              std::string& error) {
  jpeg_decompress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  err.mgr.emit_message = JpegSilence;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return error = "not a readable JPEG file", false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, f);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  if (cinfo.output_components != 3 || cinfo.output_width == 0 || cinfo.output_height == 0 ||
      uint64_t(cinfo.output_width) * cinfo.output_height > kMaxPixels) {
    jpeg_destroy_decompress(&cinfo);
    return error = "JPEG image size or layout out of range", false;
  }
  width = cinfo.output_width;
  height = cinfo.output_height;
  rgb.resize(size_t(width) * height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = rgb.data() + size_t(cinfo.output_scanline) * width * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

std::shared_ptr<const Scene> Scene::FromImageFile(const std::string& path, std::string* error) {
  std::string message;
  auto fail = [&](std::string m) -> std::shared_ptr<const Scene> {
    if (error) *error = path + ": " + m;
    return nullptr;
  };
  File f(fopen(path.c_str(), "rb"));
  if (!f) return fail(std::strerror(errno));
  unsigned char magic[8] = {};
  size_t got = fread(magic, 1, sizeof magic, f.get());
  rewind(f.get());
  std::vector<uint8_t> rgb;
  uint32_t w = 0, h = 0;
  bool ok;
  if (got == 8 && png_sig_cmp(magic, 0, 8) == 0)
    ok = ReadPng(f.get(), rgb, w, h, message);
  else if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF)
    ok = ReadJpeg(f.get(), rgb, w, h, message);
  else
    return fail("neither a PNG nor a JPEG file");
  if (!ok) return fail(message);
  return FromSrgb(rgb.data(), w, h);
}

}  // namespace kscam::emulator
