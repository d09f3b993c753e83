// Owners of libarchive's handles: each frees its handle when it ends.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace bootstrap::base::archive_handles {

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
using Entry = std::unique_ptr<archive_entry, EntryFree>;

}  // namespace bootstrap::base::archive_handles
