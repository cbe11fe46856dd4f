// The zip container: every entry read into memory (with caps on what one
// entry and all of them may unpack to), and a new container built in memory
// (through libzip) and written over the target atomically.
//
// The reader is our own: it follows the central directory, accepts what
// other readers accept (data descriptors of any form, bytes after the end
// record) and refuses what they refuse (local headers that disagree with the
// directory, entries overlapping each other, data that does not unpack to
// the declared size and checksum).
#include "internal.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

namespace xlsx {

namespace {

// The user's text for a libzip error code.
std::string zipProblem(int code) {
  switch (code) {
    case ZIP_ER_INCONS: return "压缩包的目录和内容不一致";
    case ZIP_ER_CRC: return "数据校验失败";
    case ZIP_ER_EOF: return "文件意外结束";
    case ZIP_ER_ZLIB: return "压缩数据损坏";
    case ZIP_ER_MEMORY: return "内存不足";
    case ZIP_ER_COMPNOTSUPP: return "不支持的压缩方法";
    case ZIP_ER_ENCRNOTSUPP:
    case ZIP_ER_NOPASSWD: return "压缩包已加密";
    case ZIP_ER_MULTIDISK: return "不支持分卷压缩包";
    case ZIP_ER_READ:
    case ZIP_ER_SEEK: return "读取失败";
    case ZIP_ER_WRITE: return "写入失败";
    default: return "zip 错误 " + std::to_string(code);
  }
}

// The user's text for a failed write of the saved file.
std::string saveProblem(const QSaveFile& out, int err) {
  if (out.error() == QFileDevice::ResourceError || err == ENOSPC || err == EDQUOT) return kDiskFull;
  if (err == EFBIG) return "文件超过了系统允许的大小";
  switch (out.error()) {
    case QFileDevice::PermissionsError: return "没有写入权限";
    case QFileDevice::OpenError:
      return err == EACCES || err == EPERM || err == EROFS ? "没有写入权限" : "无法在目标文件夹中创建文件";
    case QFileDevice::RenameError: return "无法用新文件替换旧文件";
    default: return "写入失败：" + out.errorString().toStdString();
  }
}

// ---- reading ----

constexpr uint32_t kLocalSig = 0x04034b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kEnd64Sig = 0x06064b50;
constexpr uint32_t kEnd64LocatorSig = 0x07064b50;
constexpr size_t kChunk = 65536;

uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const unsigned char* p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }
uint64_t le64(const unsigned char* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

// One entry of the central directory.
struct Entry {
  std::string name;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t packed = 0;    // compressed size
  uint64_t size = 0;      // uncompressed size
  uint64_t offset = 0;    // of the local header
  uint64_t dataStart = 0;
};

// The archive file, read at given offsets. The central directory decides
// where everything is: data descriptors after an entry's data are never
// needed, and bytes after the end record are ignored.
class Archive {
 public:
  explicit Archive(const std::string& path) : path_(path), file_(QString::fromUtf8(path.data(), int(path.size()))) {}

  void open() {
    if (!file_.exists()) fail(format("Excel 文件 %1 不存在", {path_}));
    if (!file_.open(QIODevice::ReadOnly)) fail(format("无法读取 Excel 文件 %1", {path_}));
    size_ = uint64_t(file_.size());
  }
  uint64_t size() const { return size_; }

  [[noreturn]] void damaged(const std::string& why) const {
    fail(format("文件 %1 不是完好的 xlsx 工作簿：zip 压缩包损坏或不完整（%2）", {path_, why}));
  }

  // Reads exactly n bytes at offset; a short read means the archive ends early.
  void readAt(uint64_t offset, void* out, size_t n) {
    if (offset > size_ || n > size_ - offset) damaged("文件意外结束");
    if (!file_.seek(qint64(offset)) || file_.read(static_cast<char*>(out), qint64(n)) != qint64(n)) {
      fail(format("无法读取 Excel 文件 %1", {path_}));
    }
  }

  // Whether the file holds the text as UTF-16LE anywhere (names in an OLE
  // compound file's directory).
  bool holdsUtf16(const char* ascii) {
    std::string needle;
    for (const char* c = ascii; *c != '\0'; ++c) needle += std::string{*c, '\0'};
    std::string buf(kChunk + needle.size(), '\0');
    for (uint64_t at = 0; at < size_; at += kChunk) {
      const size_t n = size_t(std::min<uint64_t>(buf.size(), size_ - at));
      readAt(at, buf.data(), n);
      if (std::string_view(buf.data(), n).find(needle) != std::string_view::npos) return true;
    }
    return false;
  }

  void checkSignature() {
    unsigned char head[8] = {};
    if (size_ < sizeof head) return;
    readAt(0, head, sizeof head);
    static const unsigned char kCompoundFile[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    if (std::memcmp(head, kCompoundFile, sizeof head) != 0) return;
    // An encrypted workbook is a compound file holding the encrypted package.
    if (holdsUtf16("EncryptedPackage")) {
      fail(format("文件 %1 是设置了打开密码（已加密）的工作簿，无法打开：请先在电子表格程序中取消密码再试", {path_}));
    }
    fail(format("文件 %1 不是 xlsx 工作簿：它是旧版 Excel（.xls）等 OLE 复合文档格式", {path_}));
  }

  // The central directory's entries, from the last end record that
  // describes a directory within the file.
  std::vector<Entry> directory() {
    const uint64_t tailSize = std::min<uint64_t>(size_, 22 + 65535 + 64);
    std::vector<unsigned char> tail(static_cast<size_t>(tailSize));
    readAt(size_ - tailSize, tail.data(), tail.size());
    bool sawEnd = false, sawEmpty = false;
    for (size_t i = tail.size() >= 22 ? tail.size() - 22 + 1 : 0; i-- > 0;) {
      if (le32(&tail[i]) != kEndSig) continue;
      sawEnd = true;
      uint64_t cdOffset = 0, cdSize = 0, count = 0;
      if (findDirectory(size_ - tailSize + i, &tail[i], &cdOffset, &cdSize, &count)) {
        // an empty archive only when no end record before it has entries
        if (count > 0) return readDirectory(cdOffset, cdSize, count);
        sawEmpty = true;
      }
    }
    if (sawEmpty) return {};
    if (!sawEnd) fail(format("文件 %1 不是 xlsx 工作簿：它不是 zip 压缩包", {path_}));
    damaged("找不到完好的中央目录");
  }

  // Reads an entry's data, checking its size and checksum; stops as soon as
  // it unpacks to more than its declared size.
  std::string extract(const Entry& e) {
    if (e.flags & 1) cannotUnpack(e, zipProblem(ZIP_ER_ENCRNOTSUPP));
    if (e.method != 0 && e.method != 8) cannotUnpack(e, zipProblem(ZIP_ER_COMPNOTSUPP));
    std::string data;
    // room for the declared size, as far as the packed data can fill it
    // (deflate packs at most about 1032 to 1)
    data.reserve(size_t(std::min<uint64_t>(e.size, e.method == 0 ? e.packed : e.packed * 1032 + 1024)));
    std::vector<unsigned char> in(kChunk), out(kChunk);
    uint64_t at = e.dataStart, left = e.packed;
    uLong crc = crc32(0, nullptr, 0);
    auto take = [&](const unsigned char* p, size_t n) {
      if (n > e.size - data.size()) corrupt(e, "解压后超过声明的大小 " + std::to_string(e.size) + " 字节");
      data.append(reinterpret_cast<const char*>(p), n);
      crc = crc32(crc, p, uInt(n));
    };
    if (e.method == 0) {
      while (left > 0) {
        const size_t n = size_t(std::min<uint64_t>(left, kChunk));
        readAt(at, in.data(), n);
        take(in.data(), n);
        at += n;
        left -= n;
      }
    } else {
      z_stream zs{};
      if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) cannotUnpack(e, "内存不足");
      std::unique_ptr<z_stream, int (*)(z_stream*)> end(&zs, inflateEnd);
      for (int rc = Z_OK; rc != Z_STREAM_END;) {
        if (zs.avail_in == 0) {
          if (left == 0) corrupt(e, "压缩数据不完整");
          const size_t n = size_t(std::min<uint64_t>(left, kChunk));
          readAt(at, in.data(), n);
          at += n;
          left -= n;
          zs.next_in = in.data();
          zs.avail_in = uInt(n);
        }
        zs.next_out = out.data();
        zs.avail_out = uInt(out.size());
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc == Z_MEM_ERROR) cannotUnpack(e, "内存不足");
        if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && zs.avail_in == 0)) {
          corrupt(e, "压缩数据损坏");
        }
        take(out.data(), out.size() - zs.avail_out);
      }
    }
    if (data.size() != e.size) corrupt(e, "解压后的大小与声明的不一致");
    if (crc != e.crc) corrupt(e, "数据校验失败");
    return data;
  }

  [[noreturn]] void corrupt(const Entry& e, const std::string& why) const {
    fail(format("文件 %1 中的部件 %2 数据损坏：%3", {path_, e.name, why}));
  }

  [[noreturn]] void cannotUnpack(const Entry& e, const std::string& why) const {
    fail(format("文件 %1 中的部件 %2 无法解压：%3", {path_, e.name, why}));
  }

 private:
  // The directory an end record at pos describes (through the Zip64 records
  // when its fields overflow), when it lies within the file before them.
  bool findDirectory(uint64_t pos, const unsigned char* end, uint64_t* cdOffset, uint64_t* cdSize,
                     uint64_t* count) {
    if (le16(end + 4) != 0 || le16(end + 6) != 0) return false;  // split archives are not read
    *count = le16(end + 10);
    *cdSize = le32(end + 12);
    *cdOffset = le32(end + 16);
    uint64_t limit = pos;
    if (*count == 0xFFFF || *cdSize == 0xFFFFFFFF || *cdOffset == 0xFFFFFFFF) {
      if (pos < 20 + 56) return false;
      unsigned char locator[20], end64[56];
      readAt(pos - 20, locator, sizeof locator);
      if (le32(locator) != kEnd64LocatorSig) return false;
      const uint64_t at = le64(locator + 8);
      if (at > pos - 20 - sizeof end64) return false;
      readAt(at, end64, sizeof end64);
      if (le32(end64) != kEnd64Sig || le32(end64 + 16) != 0 || le32(end64 + 20) != 0) return false;
      *count = le64(end64 + 32);
      *cdSize = le64(end64 + 40);
      *cdOffset = le64(end64 + 48);
      limit = at;
    }
    if (*cdOffset > limit || *cdSize > limit - *cdOffset || *count > *cdSize / 46) return false;
    unsigned char first[4];
    if (*count > 0) readAt(*cdOffset, first, sizeof first);
    return *count == 0 || le32(first) == kCentralSig;
  }

  std::vector<Entry> readDirectory(uint64_t cdOffset, uint64_t cdSize, uint64_t count) {
    std::vector<unsigned char> cd(static_cast<size_t>(cdSize));
    readAt(cdOffset, cd.data(), cd.size());
    std::vector<Entry> entries;
    entries.reserve(size_t(count));
    const unsigned char* p = cd.data();
    const unsigned char* const stop = cd.data() + cd.size();
    for (uint64_t k = 0; k < count; ++k) {
      if (stop - p < 46 || le32(p) != kCentralSig) damaged("中央目录损坏");
      Entry e;
      e.flags = le16(p + 8);
      e.method = le16(p + 10);
      e.crc = le32(p + 16);
      e.packed = le32(p + 20);
      e.size = le32(p + 24);
      e.offset = le32(p + 42);
      const size_t nameLen = le16(p + 28), extraLen = le16(p + 30), commentLen = le16(p + 32);
      if (size_t(stop - p) - 46 < nameLen + extraLen + commentLen) damaged("中央目录损坏");
      e.name.assign(reinterpret_cast<const char*>(p + 46), nameLen);
      // Zip64 sizes and offset, for the fields that overflow
      for (const unsigned char *x = p + 46 + nameLen, *xEnd = x + extraLen; xEnd - x >= 4;) {
        const size_t len = le16(x + 2);
        if (size_t(xEnd - x) - 4 < len) break;
        if (le16(x) == 0x0001) {
          const unsigned char *f = x + 4, *fEnd = f + len;
          for (uint64_t* field : {&e.size, &e.packed, &e.offset}) {
            if (*field != 0xFFFFFFFF) continue;
            if (fEnd - f < 8) damaged("中央目录损坏");
            *field = le64(f);
            f += 8;
          }
        }
        x += 4 + len;
      }
      p += 46 + nameLen + extraLen + commentLen;
      entries.push_back(std::move(e));
    }
    // Each entry's local header must match the directory, and the entries'
    // data must lie apart from each other and before the directory.
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (Entry& e : entries) {
      unsigned char local[30];
      if (e.offset > cdOffset || cdOffset - e.offset < sizeof local) damaged("文件头位置错误");
      readAt(e.offset, local, sizeof local);
      const size_t nameLen = le16(local + 26), extraLen = le16(local + 28);
      std::string name(nameLen, '\0');
      readAt(e.offset + sizeof local, name.data(), nameLen);
      if (le32(local) != kLocalSig || name != e.name || le16(local + 8) != e.method) {
        damaged("部件 " + e.name + " 的文件头与中央目录不一致");
      }
      e.dataStart = e.offset + sizeof local + nameLen + extraLen;
      if (e.dataStart > cdOffset || e.packed > cdOffset - e.dataStart) damaged("部件 " + e.name + " 的数据超出范围");
      spans.emplace_back(e.offset, e.dataStart + e.packed);
    }
    std::sort(spans.begin(), spans.end());
    for (size_t k = 1; k < spans.size(); ++k) {
      if (spans[k].first < spans[k - 1].second) damaged("部件的数据互相重叠");
    }
    return entries;
  }

  std::string path_;
  QFile file_;
  uint64_t size_ = 0;
};

}  // namespace

void readZip(const std::string& path, Package& pkg) {
  Archive archive(path);
  archive.open();
  archive.checkSignature();
  const std::vector<Entry> entries = archive.directory();
  uint64_t total = 0;
  for (const Entry& e : entries) {
    if (e.name.empty() || e.name.back() == '/') continue;  // folder entries carry nothing
    if (e.size > kMaxPartSize) fail(format("文件 %1 中的部件 %2 解压后超过 1 GiB，拒绝读取", {path, e.name}));
    total += e.size;
    if (total > kMaxPackageSize) fail(format("文件 %1 解压后超过 2 GiB，拒绝读取", {path}));
  }
  for (const Entry& e : entries) {
    if (e.name.empty() || e.name.back() == '/') continue;
    auto [slot, first] = pkg.raw.emplace(e.name, std::string());
    if (!first) fail(format("文件 %1 不是完好的 xlsx 工作簿：部件 %2 出现了两次", {path, e.name}));
    pkg.order.push_back(e.name);
    slot->second = archive.extract(e);
  }
}

void writeZip(const std::string& path,
              const std::vector<std::pair<std::string, const std::string*>>& entries) {
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &err);
  if (buffer == nullptr) fail(format("无法保存文件 %1：%2", {path, zipProblem(zip_error_code_zip(&err))}));
  zip_t* za = zip_open_from_source(buffer, ZIP_TRUNCATE, &err);
  if (za == nullptr) {
    zip_source_free(buffer);
    fail(format("无法保存文件 %1：%2", {path, zipProblem(zip_error_code_zip(&err))}));
  }
  zip_source_keep(buffer);  // read back after zip_close
  auto abandon = [&]() {
    const std::string why = zipProblem(zip_error_code_zip(zip_get_error(za)));
    zip_discard(za);
    zip_source_free(buffer);
    fail(format("无法保存文件 %1：%2", {path, why}));
  };
  for (const auto& [name, data] : entries) {
    zip_source_t* s = zip_source_buffer(za, data->data(), data->size(), 0);
    if (s == nullptr) abandon();
    const zip_int64_t idx = zip_file_add(za, name.c_str(), s, ZIP_FL_ENC_UTF_8);
    if (idx < 0) {
      zip_source_free(s);
      abandon();
    }
    zip_set_file_compression(za, zip_uint64_t(idx), ZIP_CM_DEFLATE, 1);
  }
  if (zip_close(za) != 0) abandon();

  std::string bytes;
  zip_stat_t st;
  zip_stat_init(&st);
  bool ok = zip_source_open(buffer) == 0;
  if (ok && zip_source_stat(buffer, &st) == 0 && (st.valid & ZIP_STAT_SIZE)) {
    bytes.resize(size_t(st.size));
    ok = zip_source_read(buffer, bytes.data(), st.size) == zip_int64_t(st.size);
  } else {
    ok = false;
  }
  zip_source_close(buffer);
  zip_source_free(buffer);
  if (!ok) fail(format("无法保存文件 %1：压缩数据无法生成", {path}));

  const QString target = QString::fromUtf8(path.data(), int(path.size()));
  if (QFileInfo(target).isDir()) fail(format("无法保存文件 %1：已经有一个同名的文件夹", {path}));
  QSaveFile out(target);
  // commit() renames the new file over the old one even when the last flush
  // failed, so the data must be flushed and checked first.
  errno = 0;
  bool saved = out.open(QIODevice::WriteOnly) &&
               out.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size()) && out.flush() &&
               out.error() == QFileDevice::NoError;
  int why = errno;
  if (saved) {
    saved = out.commit();
    why = errno;
  } else {
    out.cancelWriting();
  }
  if (!saved) fail(format("无法保存文件 %1：%2", {path, saveProblem(out, why)}));
}

}  // namespace xlsx
