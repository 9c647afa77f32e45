// Image files of the tool: PNG through libpng's simplified interface, BMP and raw BGRA by hand.
#include "tools/kscam/image_files.h"

#include <png.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kscam {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

[[noreturn]] void PngError(png_structp png, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(png));
  *error = message;
  png_longjmp(png, 1);
}
void PngWarning(png_structp, png_const_charp) {}

// The rows of one PNG; false when libpng gave up (its message is in the error pointer). Holds
// nothing that needs destroying, since libpng leaves through longjmp.
bool WritePngRows(png_structp png, png_infop info, FILE* f, const uint8_t* bgra, uint32_t w, uint32_t h,
                  uint8_t* row) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_init_io(png, f);
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  // Fast compression: a full-sensor frame is 45 MB of RGB, and the default level takes many
  // seconds for a few per cent less.
  png_set_compression_level(png, 1);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
  png_write_info(png, info);
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* src = bgra + static_cast<size_t>(y) * w * 4;
    for (uint32_t x = 0; x < w; ++x) {
      row[3 * x + 0] = src[4 * x + 2];
      row[3 * x + 1] = src[4 * x + 1];
      row[3 * x + 2] = src[4 * x + 0];
    }
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
  return true;
}

bool WritePng(const std::string& path, const uint8_t* bgra, uint32_t w, uint32_t h, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  std::vector<uint8_t> row(static_cast<size_t>(w) * 3);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, error, PngError, PngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  bool ok = png && info && WritePngRows(png, info, f, bgra, w, h, row.data());
  if (!png || !info) *error = "out of memory";
  png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    *error = std::strerror(errno);
  }
  return ok;
}

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

// 32-bit BMP: bottom-up rows of blue, green, red, alpha, as the format stores them.
bool WriteBmp(const std::string& path, const uint8_t* bgra, uint32_t w, uint32_t h, std::string* error) {
  const uint32_t image_bytes = w * h * 4;
  uint8_t header[54] = {};
  header[0] = 'B';
  header[1] = 'M';
  Put32(header + 2, 54 + image_bytes);
  Put32(header + 10, 54);
  Put32(header + 14, 40);
  Put32(header + 18, w);
  Put32(header + 22, h);
  Put16(header + 26, 1);
  Put16(header + 28, 32);
  Put32(header + 34, image_bytes);
  Put32(header + 38, 2835);  // 72 dpi
  Put32(header + 42, 2835);
  std::vector<std::pair<const void*, size_t>> parts = {{header, sizeof header}};
  for (uint32_t y = h; y-- > 0;) parts.push_back({bgra + static_cast<size_t>(y) * w * 4, static_cast<size_t>(w) * 4});
  return WriteFileParts(path, parts, error);
}

}  // namespace

std::optional<ImageFormat> ImageFormatNamed(const std::string& name) {
  const std::string n = Lower(name);
  if (n == "png") return ImageFormat::Png;
  if (n == "bmp") return ImageFormat::Bmp;
  if (n == "bgra") return ImageFormat::Bgra;
  return std::nullopt;
}

std::optional<ImageFormat> ImageFormatOfPath(const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return std::nullopt;
  return ImageFormatNamed(path.substr(dot + 1));
}

const char* ImageFormatExtension(ImageFormat format) {
  switch (format) {
    case ImageFormat::Png: return "png";
    case ImageFormat::Bmp: return "bmp";
    default: return "bgra";
  }
}

bool WriteImage(const std::string& path, ImageFormat format, const uint8_t* bgra, uint32_t width, uint32_t height,
                std::string* error) {
  switch (format) {
    case ImageFormat::Png: return WritePng(path, bgra, width, height, error);
    case ImageFormat::Bmp: return WriteBmp(path, bgra, width, height, error);
    default: return WriteFileParts(path, {{bgra, static_cast<size_t>(width) * height * 4}}, error);
  }
}

bool WriteFileParts(const std::string& path, const std::vector<std::pair<const void*, size_t>>& parts,
                    std::string* error) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  bool ok = true;
  for (const auto& [data, size] : parts) {
    if (size != 0 && std::fwrite(data, 1, size, f) != size) {
      ok = false;
      *error = std::strerror(errno);
      break;
    }
  }
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    *error = std::strerror(errno);
  }
  return ok;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat st{};
  if (::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode) ? "it is a folder" : "not a regular file";
    std::fclose(f);
    return false;
  }
  bytes->clear();
  bytes->reserve(static_cast<size_t>(st.st_size));
  uint8_t buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
  const bool failed = std::ferror(f) != 0;
  if (failed) *error = std::strerror(errno);
  std::fclose(f);
  return !failed;
}

}  // namespace kscam
