// Image bundles through the descriptor they are read from: the input as the
// file, or cut into the members of a well-formed one. The reader throws only
// BundleError, and never accepts images other than its manifest describes, or
// anything under a trusted key no input can sign with.
#include <archive.h>
#include <archive_entry.h>
#include <sys/mman.h>
#include <unistd.h>

#include "bootstrap/bundle/image_bundle.h"
#include "bootstrap/base/fd.h"
#include "bootstrap/crypto/digest.h"
#include "bootstrap/crypto/rsa.h"
#include "tests/fuzz/fuzz_input.h"

using namespace bootstrap::bundle;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string trusted = bootstrap::crypto::Rsa::generate_key_pair().second;
  if (size == 0) return 0;
  const std::string_view input = bootstrap::fuzz::text_of(data + 1, size - 1);
  const int fd = ::memfd_create("bundle", MFD_CLOEXEC);
  const std::vector<std::string> parts = bootstrap::fuzz::parts_of(input, 3);
  if (data[0] % 2 == 0) {
    bootstrap::base::write_all(fd, input);
  } else {
    archive* out = archive_write_new();
    archive_write_add_filter_zstd(out);
    archive_write_set_format_pax_restricted(out);
    archive_write_open_fd(out, fd);
    archive_entry* entry = archive_entry_new();
    const char* names[] = {kManifestMember, kSignatureMember, kImagesMember};
    for (std::size_t i = 0; i < 3; ++i) {
      if (i == 1 && parts[1].empty()) continue;  // an unsigned bundle
      archive_entry_clear(entry);
      archive_entry_set_pathname(entry, names[i]);
      archive_entry_set_size(entry, static_cast<la_int64_t>(parts[i].size()));
      archive_entry_set_filetype(entry, AE_IFREG);
      archive_write_header(out, entry);
      archive_write_data(out, parts[i].data(), parts[i].size());
    }
    archive_entry_free(entry);
    archive_write_free(out);
  }
  ::lseek(fd, 0, SEEK_SET);
  const VerifyOptions options{data[0] & 2 ? trusted : std::string(), true};
  try {
    const VerifiedBundle bundle = verify_descriptor(fd, "fuzz.bundle", options);
    const Member* images = bundle.manifest().member(kImagesMember);
    if (data[0] % 2 == 1 && (images->size != parts[2].size() ||
                             images->sha256 != bootstrap::crypto::sha256_hex(parts[2])))
      bootstrap::fuzz::finding("accepted images that do not match the manifest");
    if (!options.trusted_key.empty()) bootstrap::fuzz::finding("an untrusted bundle passed");
  } catch (const BundleError&) {
  }
  ::close(fd);
  return 0;
}
