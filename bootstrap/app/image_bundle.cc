#include "bootstrap/app/image_bundle.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "bootstrap/base/fd.h"
#include "bootstrap/crypto/digest.h"

namespace bootstrap::app::bundle {

namespace {

using json = nlohmann::json;

// The manifest is small; anything much larger is not one.
constexpr la_int64_t kMaxManifestBytes = 16 << 20;

std::string utc_now() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now, for callers that must see close()'s verdict.
  int close() {
    int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

struct ReadFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteFree {
  void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree {
  void operator()(archive_entry* e) const { archive_entry_free(e); }
};
using Reader = std::unique_ptr<archive, ReadFree>;
using Writer = std::unique_ptr<archive, WriteFree>;

// Reads a bundle member by member; every libarchive failure (a truncated or
// garbled file) is the file's damage.
class BundleReader {
 public:
  explicit BundleReader(const std::string& path) : path_(path), reader_(archive_read_new()) {
    if (!reader_) throw std::bad_alloc();
    archive_read_support_filter_all(reader_.get());
    archive_read_support_format_tar(reader_.get());
    if (archive_read_open_filename(reader_.get(), path.c_str(), kPieceBytes) != ARCHIVE_OK) {
      // A file that cannot be opened differs from one that is damaged.
      if (!std::filesystem::exists(path)) throw std::runtime_error(path + ": no such file");
      damaged(archive_error_string(reader_.get()));
    }
  }

  [[noreturn]] void damaged(const std::string& why) const {
    throw BundleError(path_ + " is damaged: " + why);
  }

  // The next member's name, or nullopt at the archive's end.
  std::optional<std::string> next() {
    archive_entry* entry = nullptr;
    int status = archive_read_next_header(reader_.get(), &entry);
    if (status == ARCHIVE_EOF) return std::nullopt;
    if (status != ARCHIVE_OK) damaged(error());
    size_ = archive_entry_size(entry);
    return std::string(archive_entry_pathname(entry));
  }
  la_int64_t size() const { return size_; }

  // Up to `size` bytes of the current member into `buffer`; 0 at its end.
  std::size_t read(char* buffer, std::size_t size) {
    la_ssize_t n = archive_read_data(reader_.get(), buffer, size);
    if (n < 0) damaged(error());
    return static_cast<std::size_t>(n);
  }

  // Reads the rest of the current member, returning its size and SHA-256.
  std::pair<std::uint64_t, std::string> digest() {
    crypto::Sha256 sha;
    std::uint64_t total = 0;
    std::vector<char> buffer(kPieceBytes);
    while (std::size_t n = read(buffer.data(), buffer.size())) {
      sha.add(buffer.data(), n);
      total += n;
    }
    return {total, sha.hex()};
  }

  Manifest manifest() {
    std::optional<std::string> name = next();
    if (!name || *name != kManifestMember)
      damaged(std::string("it does not start with ") + kManifestMember);
    if (size_ < 0 || size_ > kMaxManifestBytes) damaged("its manifest is implausibly large");
    std::string text(static_cast<std::size_t>(size_), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
      std::size_t n = read(text.data() + got, text.size() - got);
      if (n == 0) damaged("its manifest is cut short");
      got += n;
    }
    try {
      return parse_manifest(text);
    } catch (const BundleError& e) {
      damaged(e.what());
    }
  }

 private:
  std::string error() const {
    const char* text = archive_error_string(reader_.get());
    return text != nullptr ? text : "unreadable archive";
  }

  std::string path_;
  Reader reader_;
  la_int64_t size_ = 0;
};

void check_member(const BundleReader& reader, const Member& expected, std::uint64_t size,
                  const std::string& sha256) {
  if (size != expected.size)
    reader.damaged(expected.name + " holds " + std::to_string(size) + " bytes, not the " +
                   std::to_string(expected.size) + " its manifest lists");
  if (sha256 != expected.sha256)
    reader.damaged(expected.name + " does not match its SHA-256 in the manifest");
}

// A file in the target's folder that is gone unless renamed into place.
class PendingFile {
 public:
  explicit PendingFile(const std::filesystem::path& target)
      : path_(target.string() + ".tmp-XXXXXX"), fd_(::mkstemp(path_.data())) {
    if (fd_.get() < 0) throw std::runtime_error(system_error("write " + target.string()));
  }
  ~PendingFile() {
    if (!kept_) ::unlink(path_.c_str());
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  int fd() const { return fd_.get(); }
  void keep_as(const std::filesystem::path& target) {
    if (::fchmod(fd_.get(), 0644) != 0 || ::fsync(fd_.get()) != 0 || fd_.close() != 0 ||
        ::rename(path_.c_str(), target.c_str()) != 0)
      throw std::runtime_error(system_error("write " + target.string()));
    kept_ = true;
  }

 private:
  std::string path_;
  Fd fd_;
  bool kept_ = false;
};

// An unnamed file beside `target` for the engine's archive: the system
// removes it however the run ends.
Fd spool_beside(const std::filesystem::path& target) {
  std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    // A file system without unnamed files: a named one, unlinked at once.
    std::string pattern = (folder / ("." + target.filename().string() + ".images-XXXXXX")).string();
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(pattern.c_str());
  }
  if (fd < 0) throw std::runtime_error(system_error("write " + target.string()));
  return Fd(fd);
}

}  // namespace

const Member* Manifest::member(std::string_view name) const {
  for (const Member& m : members)
    if (m.name == name) return &m;
  return nullptr;
}

bool Manifest::holds(std::string_view reference) const {
  return std::any_of(images.begin(), images.end(),
                     [&](const Image& image) { return image.reference == reference; });
}

std::string manifest_json(const Manifest& manifest) {
  json images = json::array();
  for (const Image& image : manifest.images)
    images.push_back({{"reference", image.reference}, {"id", image.id}});
  json members = json::array();
  for (const Member& member : manifest.members)
    members.push_back({{"name", member.name}, {"size", member.size}, {"sha256", member.sha256}});
  json document = {{"format", manifest.format},
                   {"created", manifest.created},
                   {"program", manifest.program},
                   {"application_tag", manifest.application_tag},
                   {"images", std::move(images)},
                   {"members", std::move(members)}};
  return document.dump(2) + "\n";
}

Manifest parse_manifest(std::string_view text) {
  json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) throw BundleError("its manifest is not a JSON object");
  Manifest manifest;
  try {
    manifest.format = document.at("format").get<int>();
    if (manifest.format != kFormatVersion)
      throw BundleError("its manifest has format " + std::to_string(manifest.format) +
                        "; this program reads format " + std::to_string(kFormatVersion));
    manifest.created = document.at("created").get<std::string>();
    manifest.program = document.at("program").get<std::string>();
    manifest.application_tag = document.at("application_tag").get<std::string>();
    for (const json& image : document.at("images"))
      manifest.images.push_back(
          {image.at("reference").get<std::string>(), image.at("id").get<std::string>()});
    for (const json& member : document.at("members")) {
      // get<std::uint64_t>() would take -1 as 2^64-1.
      if (!member.at("size").is_number_unsigned())
        throw BundleError("its manifest has a member size that is not a byte count");
      manifest.members.push_back({member.at("name").get<std::string>(),
                                  member.at("size").get<std::uint64_t>(),
                                  member.at("sha256").get<std::string>()});
    }
  } catch (const json::exception& e) {
    throw BundleError(std::string("its manifest is incomplete: ") + e.what());
  }
  if (manifest.member(kImagesMember) == nullptr)
    throw BundleError(std::string("its manifest lists no ") + kImagesMember);
  return manifest;
}

Manifest create(docker::Client& client, const CreateRequest& request, const Progress& progress) {
  const std::filesystem::path target(request.path);
  if (!request.force && std::filesystem::exists(target))
    throw std::runtime_error("write " + request.path + ": the file exists (--force replaces it)");
  auto report = [&](const std::string& what, std::uint64_t bytes) {
    if (progress) progress(what, bytes);
  };

  Manifest manifest;
  manifest.created = utc_now();
  manifest.program = request.program;
  manifest.application_tag = request.application_tag;
  for (const std::string& reference : request.references)
    manifest.images.push_back({reference, client.get_image(reference)});

  // The engine's archive, to the spool file, hashed on the way.
  Fd spool = spool_beside(target);
  crypto::Sha256 sha;
  std::uint64_t archive_bytes = 0;
  client.save_images(request.references, [&](std::string_view bytes) {
    if (int error = base::write_all(spool.get(), bytes); error != 0) {
      errno = error;
      throw std::runtime_error(system_error("write " + request.path));
    }
    sha.add(bytes.data(), bytes.size());
    archive_bytes += bytes.size();
    report("saving images", archive_bytes);
  });
  manifest.members.push_back({kImagesMember, archive_bytes, sha.hex()});

  PendingFile file(target);
  Writer writer(archive_write_new());
  if (!writer) throw std::bad_alloc();
  auto check = [&](int status) {
    if (status < ARCHIVE_WARN)
      throw std::runtime_error("write " + request.path + ": " +
                               archive_error_string(writer.get()));
  };
  check(archive_write_add_filter_zstd(writer.get()));
  // pax: a member may be larger than the 8 GiB plain tar allows.
  check(archive_write_set_format_pax_restricted(writer.get()));
  check(archive_write_open_fd(writer.get(), file.fd()));
  const std::time_t now = std::time(nullptr);
  auto header = [&](const char* name, std::uint64_t size) {
    std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), name);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(size));
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_mtime(entry.get(), now, 0);
    check(archive_write_header(writer.get(), entry.get()));
  };
  auto put = [&](const char* data, std::size_t size) {
    if (archive_write_data(writer.get(), data, size) != static_cast<la_ssize_t>(size))
      throw std::runtime_error("write " + request.path + ": " +
                               archive_error_string(writer.get()));
  };

  const std::string text = manifest_json(manifest);
  header(kManifestMember, text.size());
  put(text.data(), text.size());

  header(kImagesMember, archive_bytes);
  if (::lseek(spool.get(), 0, SEEK_SET) != 0)
    throw std::runtime_error(system_error("write " + request.path));
  std::vector<char> buffer(kPieceBytes);
  std::uint64_t copied = 0;
  const std::string writing = "writing " + request.path;
  while (copied < archive_bytes) {
    ssize_t n = ::read(spool.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error(system_error("write " + request.path));
    put(buffer.data(), static_cast<std::size_t>(n));
    copied += static_cast<std::uint64_t>(n);
    report(writing, static_cast<std::uint64_t>(archive_filter_bytes(writer.get(), -1)));
  }
  check(archive_write_close(writer.get()));
  report("", 0);
  file.keep_as(target);
  return manifest;
}

Manifest verify(const std::string& path) {
  BundleReader reader(path);
  Manifest manifest = reader.manifest();
  std::vector<std::string> seen;
  while (std::optional<std::string> name = reader.next()) {
    const Member* expected = manifest.member(*name);
    if (expected == nullptr) reader.damaged("it holds " + *name + ", which its manifest does not list");
    if (std::find(seen.begin(), seen.end(), *name) != seen.end())
      reader.damaged("it holds " + *name + " twice");
    auto [size, sha256] = reader.digest();
    check_member(reader, *expected, size, sha256);
    seen.push_back(*name);
  }
  for (const Member& member : manifest.members)
    if (std::find(seen.begin(), seen.end(), member.name) == seen.end())
      reader.damaged(member.name + " is missing");
  return manifest;
}

void load(docker::Client& client, const std::string& path, const Manifest& manifest) {
  const Member* expected = manifest.member(kImagesMember);
  if (expected == nullptr) throw BundleError(path + " is damaged: " + kImagesMember + " is missing");
  BundleReader reader(path);
  reader.manifest();
  std::optional<std::string> name;
  while ((name = reader.next()) && *name != kImagesMember) {
  }
  if (!name) reader.damaged(std::string(kImagesMember) + " is missing");

  crypto::Sha256 sha;
  std::uint64_t sent = 0;
  client.load_images(expected->size, [&](char* buffer, std::size_t size) {
    std::size_t n = reader.read(buffer, size);
    sha.add(buffer, n);
    sent += n;
    return n;
  });
  check_member(reader, *expected, sent, sha.hex());
}

void print(const Manifest& manifest, std::ostream& out) {
  out << "format          " << manifest.format << "\n"
      << "created         " << manifest.created << "\n"
      << "by              " << manifest.program << "\n"
      << "application tag " << manifest.application_tag << "\n"
      << "images\n";
  std::size_t width = 0;
  for (const Image& image : manifest.images) width = std::max(width, image.reference.size());
  for (const Image& image : manifest.images)
    out << "  " << image.reference << std::string(width - image.reference.size() + 2, ' ')
        << image.id << "\n";
  out << "members\n";
  for (const Member& member : manifest.members)
    out << "  " << member.name << "  " << member.size << " bytes  sha256:" << member.sha256
        << "\n";
}

}  // namespace bootstrap::app::bundle
