#include "app/core/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <QImage>

#include <jpeglib.h>

#include "app/core/apppaths.h"

namespace fs = std::filesystem;

namespace {

void PutLE16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void PutLE32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

// libjpeg reports errors through a callback that must not return: it jumps back here.
struct TJpegError {
  jpeg_error_mgr Mgr;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
};
[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TJpegError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->Message);
  std::longjmp(err->Jump, 1);
}

// Compresses into a buffer that libjpeg allocates; returns false with `message` on failure.
// Kept free of C++ objects with destructors because of the long jump.
bool CompressJpeg(const TBitmap24& picture, int quality, unsigned char** data, unsigned long* size, char* message) {
  jpeg_compress_struct cinfo;
  TJpegError err;
  cinfo.err = jpeg_std_error(&err.Mgr);
  err.Mgr.error_exit = JpegErrorExit;
  err.Message[0] = 0;
  if (setjmp(err.Jump)) {
    jpeg_destroy_compress(&cinfo);
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.Message);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, data, size);
  cinfo.image_width = JDIMENSION(picture.Width);
  cinfo.image_height = JDIMENSION(picture.Height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(picture.Row(int(cinfo.next_scanline)));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

struct TSnapFile {
  const char* Stem;  // "Snapshot_full" / "Snapshot_small"
  const char* Ext;   // ".bmp" / ".jpg"
  std::vector<uint8_t> Data;
  bool Wanted = false;
};

std::string SnapName(const TSnapFile& f, int number) {
  std::string name = f.Stem;
  if (number > 1) {
    name.push_back('_');
    name.append(std::to_string(number));
  }
  name.append(f.Ext);
  return name;
}

bool WriteAll(int fd, const std::vector<uint8_t>& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += size_t(n);
  }
  return true;
}

}  // namespace

TBitmap24 StretchBitmap(const TBitmap24& picture, int width, int height) {
  TBitmap24 out;
  if (picture.Empty() || width <= 0 || height <= 0) return out;
  const QImage source(picture.Pixels.data(), picture.Width, picture.Height, picture.Stride, QImage::Format_BGR888);
  const QImage scaled = source.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                            .convertToFormat(QImage::Format_BGR888);
  out.SetSize(width, height);
  for (int y = 0; y < height; ++y) std::memcpy(out.Row(y), scaled.constScanLine(y), size_t(width) * 3);
  return out;
}

std::vector<uint8_t> EncodeBmp24(const TBitmap24& picture) {
  // BITMAPFILEHEADER (14 bytes) + BITMAPINFOHEADER (40 bytes), rows bottom-up, each padded to 4 bytes
  // (the bitmap's own row layout).
  const uint32_t rowSize = uint32_t(TBitmap24::RowSize(picture.Width));
  const uint32_t imageSize = rowSize * uint32_t(picture.Height);
  std::vector<uint8_t> out;
  out.reserve(54 + imageSize);
  out.push_back('B');
  out.push_back('M');
  PutLE32(out, 54 + imageSize);
  PutLE32(out, 0);
  PutLE32(out, 54);
  PutLE32(out, 40);
  PutLE32(out, uint32_t(picture.Width));
  PutLE32(out, uint32_t(picture.Height));
  PutLE16(out, 1);   // planes
  PutLE16(out, 24);  // bits per pixel
  PutLE32(out, 0);   // no compression
  PutLE32(out, imageSize);
  PutLE32(out, 2835);  // 72 dpi
  PutLE32(out, 2835);
  PutLE32(out, 0);
  PutLE32(out, 0);
  for (int y = picture.Height - 1; y >= 0; --y) {
    const uint8_t* row = picture.Row(y);
    out.insert(out.end(), row, row + picture.Width * 3);
    out.insert(out.end(), rowSize - uint32_t(picture.Width) * 3, 0);
  }
  return out;
}

std::vector<uint8_t> EncodeJpeg(const TBitmap24& picture, int quality) {
  if (quality < 1) quality = 1;
  if (quality > 100) quality = 100;
  unsigned char* data = nullptr;
  unsigned long size = 0;
  char message[JMSG_LENGTH_MAX] = {};
  const bool ok = CompressJpeg(picture, quality, &data, &size, message);
  std::vector<uint8_t> out;
  if (ok && data) out.assign(data, data + size);
  std::free(data);
  if (!ok) throw std::runtime_error(std::string("JPEG compression failed: ") + message);
  return out;
}

TSnapshotResult WriteSnapshots(const TBitmap24& picture, const TAppSettings& settings) {
  if (picture.Empty()) return {};
  return WriteSnapshots(picture, StretchBitmap(picture, kSnapSmallWidth, kSnapSmallHeight), settings);
}

TSnapshotResult WriteSnapshots(const TBitmap24& full, const TBitmap24& small, const TAppSettings& settings) {
  TSnapshotResult result;
  if (full.Empty()) return result;
  TSettingsValues values;
  try {
    values = settings.Read();
  } catch (const std::exception& e) {
    result.Error = e.what();
    return result;
  }

  TSnapFile files[4] = {{"Snapshot_full", ".bmp", {}, values.SnapFullSize && values.SnapBmp},
                        {"Snapshot_small", ".bmp", {}, values.SnapSmallSize && values.SnapBmp},
                        {"Snapshot_full", ".jpg", {}, values.SnapFullSize && values.SnapJpg},
                        {"Snapshot_small", ".jpg", {}, values.SnapSmallSize && values.SnapJpg}};
  const TBitmap24& smallPicture = small.Empty() ? full : small;
  try {
    if (files[0].Wanted) files[0].Data = EncodeBmp24(full);
    if (files[1].Wanted) files[1].Data = EncodeBmp24(smallPicture);
    if (files[2].Wanted) files[2].Data = EncodeJpeg(full, values.JpgCmp);
    if (files[3].Wanted) files[3].Data = EncodeJpeg(smallPicture, values.JpgCmp);
  } catch (const std::exception& e) {
    result.Error = e.what();
    return result;
  }

  // The folder: created with its parents when missing. When that fails, the default folder takes
  // its place (created and stored) and the user is told.
  std::string folder = values.SnapOutPutDir.empty() ? DefaultOutputDir() : values.SnapOutPutDir;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec)) {
      const std::string fallback = DefaultOutputDir();
      result.Warning = "Cannot create output directory:" + folder + ".It will create default directory " + fallback +
                       "!";
      fs::create_directories(fallback, ec);
      try {
        TAppSettings(settings).WriteSnapOutPutDir(fallback);
      } catch (const std::exception&) {
        // The files can still be written; the stored folder stays as it was.
      }
      folder = fallback;
    }
  }
  if (folder.back() != '/') folder += '/';

  // The first number whose names are all free; each file is created exclusively so that nothing
  // is replaced even when another snapshot is written at the same moment.
  for (int number = 1; number < 100000; ++number) {
    bool taken = false;
    for (const TSnapFile& f : files) {
      struct stat st;
      if (::lstat((folder + SnapName(f, number)).c_str(), &st) == 0) taken = true;
    }
    if (taken) continue;
    std::vector<std::string> written;
    bool retry = false;
    for (const TSnapFile& f : files) {
      if (!f.Wanted) continue;
      const std::string path = folder + SnapName(f, number);
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0 && errno == EEXIST) {
        retry = true;
        break;
      }
      const int openErr = errno;
      bool ok = fd >= 0 && WriteAll(fd, f.Data);
      const int writeErr = errno;
      if (fd >= 0) ok = (::close(fd) == 0) && ok;
      if (fd >= 0) written.push_back(path);
      if (!ok) {
        result.Error = "Unable to write to " + path + ": " + std::strerror(fd < 0 ? openErr : writeErr);
        for (const std::string& p : written) ::unlink(p.c_str());
        return result;
      }
    }
    if (retry) {
      for (const std::string& p : written) ::unlink(p.c_str());
      continue;
    }
    result.Files = std::move(written);
    return result;
  }
  result.Error = "Unable to write to " + folder + ": no free snapshot name";
  return result;
}
