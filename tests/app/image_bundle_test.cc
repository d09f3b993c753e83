// Image bundles without an engine: the manifest reads back as written and
// refuses what is not one, and a bundle whose member no longer matches its
// manifest is caught. The whole flow (create, damage, install) runs against the
// sandbox engine in tests/app/bundle_flow_test.cc.
#include "bootstrap/bundle/image_bundle.h"

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "bootstrap/crypto/rsa.h"
#include "tests/support/fake_engine.h"

namespace bootstrap::bundle {
namespace {

TEST(BundleManifest, ReadsBackAsWrittenAndRefusesWhatIsNotOne) {
  Manifest manifest;
  manifest.created = "2026-12-09T01:02:03Z";
  manifest.program = "bootstrap 0.1.0 (commit 1a2b3c4)";
  manifest.application_tag = "2.3";
  manifest.images = {{"lmdx2/app:2.3", "sha256:aa"}, {"redis:6.0.4", "sha256:bb"}};
  manifest.members = {{"images.tar", 1ull << 40, std::string(64, 'c')}};
  EXPECT_EQ(manifest, parse_manifest(manifest_json(manifest)));

  const std::string good = manifest_json(manifest);
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  for (const std::string& bad :
       {std::string("not json"), std::string("[]"), replaced("\"format\": 1", "\"format\": 2"),
        replaced("\"application_tag\"", "\"tag\""), replaced("\"images.tar\"", "\"other.tar\""),
        replaced("1099511627776", "-1"), replaced("\"2.3\"", "\"../2.3\""),
        replaced("redis:6.0.4", "Redis:6.0.4"), replaced("lmdx2/app:2.3", "app\\u001b[2J"),
        replaced("sha256:bb", "bb"), replaced("\"images.tar\"", "\"manifest.sig\""),
        replaced(std::string(64, 'c'), "cc")}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(parse_manifest(bad), BundleError);
  }
}

// A bundle written through a fake engine, rewritten with its members changed.
class DamagedBundle : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("kestro-bundle-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
    engine_.add_image("lmdx2/app:latest");
    engine_.add_image("redis:6.0.4");
    path_ = (folder_ / "good.bundle").string();
    manifest_ = create(engine_,
                       CreateRequest{path_, false, "bootstrap test", "latest",
                                     {"lmdx2/app:latest", "redis:6.0.4"}, ""},
                       {});
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // Copies the bundle with each member's content passed through `change`,
  // and `extra` appended as a member of its own when not empty.
  std::string rewritten(const std::string& name,
                        const std::function<void(const std::string&, std::string&)>& change,
                        const std::string& extra = "") {
    std::unique_ptr<archive, decltype(&archive_read_free)> in(archive_read_new(), archive_read_free);
    archive_read_support_filter_zstd(in.get());
    archive_read_support_format_tar(in.get());
    EXPECT_EQ(ARCHIVE_OK, archive_read_open_filename(in.get(), path_.c_str(), 4096));
    std::unique_ptr<archive, decltype(&archive_write_free)> out(archive_write_new(),
                                                                archive_write_free);
    archive_write_add_filter_zstd(out.get());
    archive_write_set_format_pax_restricted(out.get());
    const std::string copy = (folder_ / name).string();
    EXPECT_EQ(ARCHIVE_OK, archive_write_open_filename(out.get(), copy.c_str()));
    auto put = [&](const std::string& member, const std::string& content) {
      std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                          archive_entry_free);
      archive_entry_set_pathname(entry.get(), member.c_str());
      archive_entry_set_size(entry.get(), static_cast<la_int64_t>(content.size()));
      archive_entry_set_filetype(entry.get(), AE_IFREG);
      archive_entry_set_perm(entry.get(), 0644);
      EXPECT_EQ(ARCHIVE_OK, archive_write_header(out.get(), entry.get()));
      archive_write_data(out.get(), content.data(), content.size());
    };
    archive_entry* entry = nullptr;
    while (archive_read_next_header(in.get(), &entry) == ARCHIVE_OK) {
      std::string member = archive_entry_pathname(entry);
      std::string content(static_cast<std::size_t>(archive_entry_size(entry)), '\0');
      archive_read_data(in.get(), content.data(), content.size());
      change(member, content);
      put(member, content);
    }
    if (!extra.empty()) put(extra, "surplus");
    archive_write_close(out.get());
    return copy;
  }

  std::string reason(const std::string& path, const std::string& trusted_key = "") {
    try {
      verify(path, {trusted_key, false});
    } catch (const BundleError& e) {
      return e.what();
    }
    return "no error";
  }

  bootstrap::testing::FakeEngine engine_;
  std::filesystem::path folder_;
  std::string path_;
  Manifest manifest_;
};

TEST_F(DamagedBundle, AMemberThatNoLongerMatchesItsManifestIsCaught) {
  EXPECT_EQ(manifest_, verify(path_, {}).manifest());
  const std::string same = rewritten("same.bundle", [](const std::string&, std::string&) {});
  EXPECT_EQ(manifest_, verify(same, {}).manifest()) << "a rewrite alone changes nothing";

  const std::string flipped =
      rewritten("flipped.bundle", [](const std::string& member, std::string& content) {
        if (member == kImagesMember) content[3] ^= 1;
      });
  EXPECT_EQ(flipped + " is damaged: images.tar does not match its SHA-256 in the manifest",
            reason(flipped));

  const std::string longer =
      rewritten("longer.bundle", [](const std::string& member, std::string& content) {
        if (member == kImagesMember) content += "x";
      });
  EXPECT_NE(std::string::npos, reason(longer).find("images.tar holds ")) << reason(longer);

  const std::string extra =
      rewritten("extra.bundle", [](const std::string&, std::string&) {}, "stowaway");
  EXPECT_EQ(extra + " is damaged: it holds stowaway, which its manifest does not list",
            reason(extra));

  // A manifest that names other ids than the archive's images have checks
  // out, and is caught once the engine has the images.
  const std::string forged =
      rewritten("forged.bundle", [](const std::string& member, std::string& content) {
        if (member == kManifestMember)
          content.replace(content.find("sha256:redis"), 12, "sha256:other");
      });
  try {
    load(engine_, verify(forged, {"", true}));
    ADD_FAILURE() << "a forged manifest loaded";
  } catch (const BundleError& e) {
    EXPECT_EQ(forged + " does not hold what its manifest says: the engine's redis:6.0.4 is "
                       "sha256:redis:6.0.4 after the load, not sha256:other:6.0.4",
              std::string(e.what()));
  }
}

// A manifest changed after signing; the flow test meets the other cases.
TEST_F(DamagedBundle, ASignatureOfAnotherManifestDoesNotVerify) {
  const auto [key, public_key] = crypto::Rsa::generate_key_pair();
  path_ = (folder_ / "signed.bundle").string();
  create(engine_, {path_, false, "bootstrap test", "latest", {"redis:6.0.4"}, key}, {});
  const std::string altered =
      rewritten("altered.bundle", [](const std::string& member, std::string& content) {
        if (member == kManifestMember) content[content.find("bootstrap test") + 9] = '-';
      });
  for (const std::string& trust : {std::string(), public_key})
    EXPECT_EQ(altered + " is damaged: its signature does not match its manifest",
              reason(altered, trust));
}

}  // namespace
}  // namespace bootstrap::bundle
