#include "bootstrap/bundle/image_bundle.h"

#include "bootstrap/base/archive_handles.h"

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
#include <regex>

#include <nlohmann/json.hpp>

#include "bootstrap/base/fd.h"
#include "bootstrap/base/image_reference.h"
#include "bootstrap/base/new_file.h"
#include "bootstrap/base/text.h"
#include "bootstrap/base/utc_time.h"
#include "bootstrap/crypto/digest.h"
#include "bootstrap/crypto/rsa.h"
#include "bootstrap/docker/errors.h"

namespace bootstrap::bundle {

namespace {

using json = nlohmann::json;

// The manifest is small; anything much larger is not one. A signature is a
// public key and a few hundred bytes of Base64.
constexpr la_int64_t kMaxManifestBytes = 16 << 20;
constexpr la_int64_t kMaxSignatureBytes = 64 << 10;
// Where the private copy of a bundle's images goes: on disk (/tmp may be
// memory), and not a path anyone's environment can move.
constexpr const char* kSpoolFolder = "/var/tmp";

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

using base::archive_handles::Entry;
using base::archive_handles::Reader;
using base::archive_handles::Writer;

// Reads a bundle member by member from a descriptor it does not own; every
// libarchive failure (a truncated or garbled file) is the file's damage.
class BundleReader {
 public:
  BundleReader(int fd, const std::string& name) : name_(name), reader_(archive_read_new()) {
    if (!reader_) throw std::bad_alloc();
    // ARCHIVE_WARN here means libarchive would run an outside zstd program.
    if (archive_read_support_filter_zstd(reader_.get()) != ARCHIVE_OK ||
        archive_read_support_format_tar(reader_.get()) != ARCHIVE_OK)
      throw std::runtime_error("read " + name + ": this libarchive cannot read zstd itself");
    if (archive_read_open_fd(reader_.get(), fd, kPieceBytes) != ARCHIVE_OK) damaged(error());
  }

  [[noreturn]] void damaged(const std::string& why) const {
    throw BundleError(name_ + " is damaged: " + why);
  }

  // The next member's name, or nullopt at the archive's end.
  std::optional<std::string> next() {
    archive_entry* entry = nullptr;
    int status = archive_read_next_header(reader_.get(), &entry);
    if (status == ARCHIVE_EOF) return std::nullopt;
    if (status != ARCHIVE_OK) damaged(error());
    const char* name = archive_entry_pathname(entry);
    std::string member = name != nullptr ? name : "";
    if (archive_entry_filetype(entry) != AE_IFREG || archive_entry_size_is_set(entry) == 0)
      damaged("its member " + base::printable(member) + " is not a plain file");
    size_ = archive_entry_size(entry);
    return member;
  }

  // Reads the rest of the current member, `expected` bytes by its manifest,
  // handing each piece to `sink`; stops at the first byte beyond `expected`
  // (its header may have lied, or the filter may give more). Returns its size
  // and SHA-256.
  std::pair<std::uint64_t, std::string> digest(
      const std::string& name, std::uint64_t expected,
      const std::function<void(const char*, std::size_t)>& sink) {
    if (size_ < 0 || static_cast<std::uint64_t>(size_) != expected) too_long(name, size_, expected);
    crypto::Sha256 sha;
    std::uint64_t total = 0;
    std::vector<char> buffer(kPieceBytes);
    while (std::size_t n = read(buffer.data(), buffer.size())) {
      total += n;
      if (total > expected) too_long(name, static_cast<la_int64_t>(total), expected);
      sha.add(buffer.data(), n);
      if (sink) sink(buffer.data(), n);
    }
    return {total, sha.hex()};
  }

  // The current member whole, when it is at most `limit` bytes.
  std::string text(const std::string& what, la_int64_t limit) {
    if (size_ < 0 || size_ > limit) damaged("its " + what + " is implausibly large");
    std::string text(static_cast<std::size_t>(size_), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
      std::size_t n = read(text.data() + got, text.size() - got);
      if (n == 0) damaged("its " + what + " is cut short");
      got += n;
    }
    return text;
  }

 private:
  [[noreturn]] void too_long(const std::string& name, la_int64_t size, std::uint64_t expected) {
    damaged(name + " holds " + (size < 0 ? "an unknown number of" : std::to_string(size)) +
            " bytes, not the " + std::to_string(expected) + " its manifest lists");
  }

  // Up to `size` bytes of the current member into `buffer`; 0 at its end.
  std::size_t read(char* buffer, std::size_t size) {
    la_ssize_t n = archive_read_data(reader_.get(), buffer, size);
    if (n < 0) damaged(error());
    return static_cast<std::size_t>(n);
  }

  std::string error() const {
    const char* text = archive_error_string(reader_.get());
    return text != nullptr ? text : "unreadable archive";
  }

  std::string name_;
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

// An unnamed file only this process can reach, for the images as they are
// checked: what reaches the engine is what was hashed, whatever happens to
// the bundle's file meanwhile.
std::shared_ptr<const int> private_spool() {
  int fd = ::open(kSpoolFolder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    // No unnamed files there: a named one (mkostemp: 0600, never an existing
    // name), unlinked at once.
    std::string pattern = std::string(kSpoolFolder) + "/.kestro-bundle-XXXXXX";
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(pattern.c_str());
  }
  if (fd < 0) throw std::runtime_error(system_error(std::string("copy images to ") + kSpoolFolder));
  return std::shared_ptr<const int>(new int(fd), [](const int* held) {
    ::close(*held);
    delete held;
  });
}

// An image id as the engine gives one, and nothing a terminal would act on.
bool is_image_id(const std::string& id) {
  return id.starts_with("sha256:") && id.size() > 7 && id.size() <= 255 &&
         std::all_of(id.begin(), id.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

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
  // What reaches the engine and the terminal is what --version would pass.
  if (!base::is_image_tag(manifest.application_tag))
    throw BundleError("its manifest's application tag \"" +
                      base::printable(manifest.application_tag) + "\" is not an image tag");
  for (const Image& image : manifest.images) {
    if (!base::is_image_reference(image.reference))
      throw BundleError("its manifest's \"" + base::printable(image.reference) +
                        "\" is not an image reference");
    if (!is_image_id(image.id))
      throw BundleError("its manifest's id \"" + base::printable(image.id) +
                        "\" is not an image id");
  }
  static const std::regex kName("[A-Za-z0-9_][A-Za-z0-9_.-]{0,254}");
  static const std::regex kSha256("[0-9a-f]{64}");
  for (const Member& member : manifest.members) {
    if (!std::regex_match(member.name, kName) || member.name == kManifestMember ||
        member.name == kSignatureMember)
      throw BundleError("its manifest lists a member called \"" + base::printable(member.name) +
                        "\"");
    if (!std::regex_match(member.sha256, kSha256))
      throw BundleError("its manifest's SHA-256 of " + member.name + " is not 64 hex digits");
  }
  return manifest;
}

Manifest create(docker::Client& client, const CreateRequest& request, const Progress& progress) {
  const std::filesystem::path target(request.path);
  if (!request.force && std::filesystem::exists(target))
    throw std::runtime_error("write " + request.path + ": the file exists (--force replaces it)");
  auto report = [&](const std::string& what, std::uint64_t bytes) {
    if (progress) progress(what, bytes);
  };
  // A key that cannot sign is refused before the engine's long save.
  const std::string public_key =
      request.signing_key.empty() ? "" : crypto::Rsa::public_key(request.signing_key);
  if (!request.signing_key.empty()) crypto::Rsa::sign("", request.signing_key);

  Manifest manifest;
  manifest.created = base::utc_time("%Y-%m-%dT%H:%M:%SZ");
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

  std::optional<base::NewFile> file;
  try {
    file.emplace(target, 0644);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("write " + request.path + ": " + e.what());
  }
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
  check(archive_write_open_fd(writer.get(), file->fd()));
  const std::time_t now = std::time(nullptr);
  auto header = [&](const char* name, std::uint64_t size) {
    Entry entry(archive_entry_new());
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
  if (!request.signing_key.empty()) {
    const std::string signature =
        json{{"key", public_key}, {"signature", crypto::Rsa::sign(text, request.signing_key)}}
            .dump(2) +
        "\n";
    header(kSignatureMember, signature.size());
    put(signature.data(), signature.size());
  }

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
  try {
    // Checked before the engine's archive was made, and again here: the name
    // may have been taken meanwhile.
    file->put_in_place(request.force);
  } catch (const base::TargetExists&) {
    throw std::runtime_error("write " + request.path + ": the file exists (--force replaces it)");
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("write " + request.path + ": " + e.what());
  }
  return manifest;
}

std::string VerifiedBundle::signature_line() const {
  if (signer_.empty()) return "bundle is not signed: checked for damage only";
  if (trusted_) return "bundle is signed by the trusted key sha256:" + signer_;
  return "bundle is signed by key sha256:" + signer_ + ", not checked against a trusted key";
}

VerifiedBundle verify(const std::string& path, const VerifyOptions& options) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw std::runtime_error(system_error("read " + path));
  Fd owner(fd);
  return verify_descriptor(fd, path, options);
}

VerifiedBundle verify_descriptor(int fd, const std::string& name, const VerifyOptions& options) {
  const std::string trusted =
      options.trusted_key.empty() ? "" : crypto::Rsa::fingerprint(options.trusted_key);
  BundleReader reader(fd, name);
  VerifiedBundle bundle;
  bundle.name_ = name;
  std::optional<std::string> member = reader.next();
  if (!member || *member != kManifestMember)
    reader.damaged(std::string("it does not start with ") + kManifestMember);
  const std::string manifest_text = reader.text("manifest", kMaxManifestBytes);
  try {
    bundle.manifest_ = parse_manifest(manifest_text);
  } catch (const BundleError& e) {
    reader.damaged(e.what());
  }
  const Manifest& manifest = bundle.manifest_;

  // The signature is settled before the images are read: an untrusted bundle
  // costs no more than its first few kilobytes.
  member = reader.next();
  if (member && *member == kSignatureMember) {
    const json signature =
        json::parse(reader.text("signature", kMaxSignatureBytes), nullptr, false);
    if (!signature.is_object() || !signature.contains("key") || !signature["key"].is_string() ||
        !signature.contains("signature") || !signature["signature"].is_string())
      reader.damaged("its signature is unreadable");
    const std::string key = signature["key"].get<std::string>();
    try {
      bundle.signer_ = crypto::Rsa::fingerprint(key);
    } catch (const crypto::RsaError&) {
      reader.damaged("its signature's key is no RSA public key");
    }
    if (!trusted.empty() && bundle.signer_ != trusted)
      throw BundleError(name + " is signed by key sha256:" + bundle.signer_ +
                        ", not by the trusted key sha256:" + trusted);
    if (!crypto::Rsa::verify(manifest_text, signature["signature"].get<std::string>(),
                             trusted.empty() ? key : options.trusted_key))
      reader.damaged("its signature does not match its manifest");
    bundle.trusted_ = !trusted.empty();
    member = reader.next();
  } else if (!trusted.empty()) {
    throw BundleError(name + " is not signed; only a bundle signed by the trusted key sha256:" +
                      trusted + " is accepted");
  }

  std::vector<std::string> seen;
  for (; member; member = reader.next()) {
    const Member* expected = manifest.member(*member);
    if (expected == nullptr)
      reader.damaged("it holds " + base::printable(*member) + ", which its manifest does not list");
    if (std::find(seen.begin(), seen.end(), *member) != seen.end())
      reader.damaged("it holds " + base::printable(*member) + " twice");
    std::function<void(const char*, std::size_t)> copy;
    if (options.keep_images && *member == kImagesMember) {
      bundle.images_ = private_spool();
      copy = [&](const char* data, std::size_t size) {
        if (int error = base::write_all(*bundle.images_, {data, size}); error != 0) {
          errno = error;
          throw std::runtime_error(system_error(std::string("copy images to ") + kSpoolFolder));
        }
      };
    }
    auto [size, sha256] = reader.digest(*member, expected->size, copy);
    check_member(reader, *expected, size, sha256);
    seen.push_back(*member);
  }
  for (const Member& listed : manifest.members)
    if (std::find(seen.begin(), seen.end(), listed.name) == seen.end())
      reader.damaged(listed.name + " is missing");
  return bundle;
}

void load(docker::Client& client, const VerifiedBundle& bundle) {
  const Member* images = bundle.manifest_.member(kImagesMember);
  if (!bundle.images_ || images == nullptr)
    throw BundleError(bundle.name_ + ": its images were not kept for loading");
  const int fd = *bundle.images_;
  std::uint64_t offset = 0;
  client.load_images(images->size, [&](char* buffer, std::size_t size) -> std::size_t {
    const std::uint64_t left = images->size - offset;
    if (left == 0) return 0;
    for (;;) {
      ssize_t n = ::pread(fd, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(size, left)),
                          static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error(system_error("read the copy of " + bundle.name_));
      offset += static_cast<std::uint64_t>(n);
      return static_cast<std::size_t>(n);
    }
  });
  // The archive's own tags could name other images than the manifest does.
  for (const Image& image : bundle.manifest_.images) {
    std::string id;
    try {
      id = client.get_image(image.reference);
    } catch (const docker::ImageNotFound&) {
    }
    if (id != image.id)
      throw BundleError(bundle.name_ + " does not hold what its manifest says: the engine's " +
                        image.reference + " is " + (id.empty() ? "missing" : base::printable(id)) +
                        " after the load, not " + image.id);
  }
}

void print(const Manifest& manifest, std::ostream& out) {
  out << "format          " << manifest.format << "\n"
      << "created         " << base::printable(manifest.created) << "\n"
      << "by              " << base::printable(manifest.program) << "\n"
      << "application tag " << manifest.application_tag << "\n"
      << "images\n";
  std::size_t width = 0;
  for (const Image& image : manifest.images) width = std::max(width, image.reference.size());
  for (const Image& image : manifest.images)
    out << "  " << image.reference << std::string(width - image.reference.size() + 2, ' ')
        << image.id << "\n";
  out << "members\n";
  for (const Member& member : manifest.members)
    out << "  " << base::printable(member.name) << "  " << member.size
        << " bytes  sha256:" << base::printable(member.sha256) << "\n";
}

}  // namespace bootstrap::bundle
