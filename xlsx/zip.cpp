// The zip container: every entry read into memory (with a cap on what one
// entry may unpack to), and a new container built in memory and written
// over the target atomically.
#include "internal.h"

#include <QSaveFile>
#include <QString>

#include <zip.h>

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

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};
struct EntryCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};

}  // namespace

void readZip(const std::string& path, Package& pkg) {
  int code = 0;
  std::unique_ptr<zip_t, ZipCloser> za(zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
  if (!za) {
    switch (code) {
      case ZIP_ER_NOENT:
        fail(format("Excel 文件 %1 不存在", {path}));
      case ZIP_ER_OPEN:
      case ZIP_ER_READ:
        fail(format("无法读取 Excel 文件 %1", {path}));
      case ZIP_ER_NOZIP:
        fail(format("文件 %1 不是 xlsx 工作簿：它不是 zip 压缩包", {path}));
      default:
        fail(format("文件 %1 不是完好的 xlsx 工作簿：zip 压缩包损坏或不完整（%2）",
                    {path, zipProblem(code)}));
    }
  }
  const zip_int64_t n = zip_get_num_entries(za.get(), 0);
  uint64_t total = 0;
  for (zip_int64_t i = 0; i < n; ++i) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za.get(), zip_uint64_t(i), 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME)) {
      fail(format("文件 %1 不是完好的 xlsx 工作簿：zip 目录损坏", {path}));
    }
    std::string name = st.name;
    if (name.empty() || name.back() == '/') continue;  // folder entries carry nothing
    if ((st.valid & ZIP_STAT_SIZE) && st.size > kMaxPartSize) {
      fail(format("文件 %1 中的部件 %2 解压后超过 1 GiB，拒绝读取", {path, name}));
    }
    if (pkg.raw.count(name) != 0) {
      fail(format("文件 %1 不是完好的 xlsx 工作簿：部件 %2 出现了两次", {path, name}));
    }
    std::unique_ptr<zip_file_t, EntryCloser> f(zip_fopen_index(za.get(), zip_uint64_t(i), 0));
    if (!f) {
      fail(format("文件 %1 中的部件 %2 无法解压：%3",
                  {path, name, zipProblem(zip_error_code_zip(zip_get_error(za.get())))}));
    }
    std::string data;
    data.reserve(size_t(std::min<zip_uint64_t>(st.size, 64u << 20)));
    char buf[65536];
    for (;;) {
      const zip_int64_t got = zip_fread(f.get(), buf, sizeof buf);
      if (got < 0) {
        fail(format("文件 %1 中的部件 %2 数据损坏：%3",
                    {path, name, zipProblem(zip_error_code_zip(zip_file_get_error(f.get())))}));
      }
      if (got == 0) break;
      if (data.size() + uint64_t(got) > kMaxPartSize) {
        fail(format("文件 %1 中的部件 %2 解压后超过 1 GiB，拒绝读取", {path, name}));
      }
      data.append(buf, size_t(got));
      total += uint64_t(got);
      if (total > kMaxPackageSize) {
        fail(format("文件 %1 解压后超过 2 GiB，拒绝读取", {path}));
      }
    }
    pkg.order.push_back(name);
    pkg.raw.emplace(std::move(name), std::move(data));
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

  QSaveFile out(QString::fromUtf8(path.data(), int(path.size())));
  if (!out.open(QIODevice::WriteOnly) ||
      out.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()) || !out.commit()) {
    std::string why;
    switch (out.error()) {
      case QFileDevice::PermissionsError: why = "没有写入权限"; break;
      case QFileDevice::OpenError: why = "无法在目标文件夹中创建文件"; break;
      case QFileDevice::WriteError: why = "写入失败，磁盘可能已满"; break;
      case QFileDevice::RenameError: why = "无法用新文件替换旧文件"; break;
      default: why = out.errorString().toStdString(); break;
    }
    fail(format("无法保存文件 %1：%2", {path, why}));
  }
}

}  // namespace xlsx
