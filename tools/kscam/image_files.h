// Image and data files the tool writes and reads: PNG (RGB), 32-bit BMP and raw BGRA from a
// top-row-first BGRA picture, and whole input files read without surprises (a folder or an
// unreadable file is an error, not an exception).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kscam {

enum class ImageFormat { Png, Bmp, Bgra };

// "png", "bmp", "bgra" (any case); nothing for other names.
std::optional<ImageFormat> ImageFormatNamed(const std::string& name);
// The format a file name asks for by its extension (.png, .bmp, .bgra, any case).
std::optional<ImageFormat> ImageFormatOfPath(const std::string& path);
const char* ImageFormatExtension(ImageFormat format);  // "png", "bmp", "bgra"

// Writes `bgra` (width x height pixels of blue, green, red, x, top row first, no padding).
// False with a one-line reason in *error.
bool WriteImage(const std::string& path, ImageFormat format, const uint8_t* bgra, uint32_t width,
                uint32_t height, std::string* error);

// Writes the pieces one after another into a new file.
bool WriteFileParts(const std::string& path, const std::vector<std::pair<const void*, size_t>>& parts,
                    std::string* error);

// Reads a whole regular file. False with a one-line reason (missing, a folder, unreadable).
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

}  // namespace kscam
