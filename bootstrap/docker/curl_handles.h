// Owners of libcurl's C handles, so that no code path leaks or double-frees
// them. Private to the engine client.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace bootstrap::docker {

// Initialises libcurl for the process, once, whichever thread comes first.
void ensure_curl_initialised();

// An easy handle: one connection cache, reused by every request through it.
class CurlEasy {
 public:
  CurlEasy();  // throws std::runtime_error when libcurl cannot make a handle
  CurlEasy(const CurlEasy&) = delete;
  CurlEasy& operator=(const CurlEasy&) = delete;
  CurlEasy(CurlEasy&&) noexcept = default;
  CurlEasy& operator=(CurlEasy&&) noexcept = default;

  CURL* get() const { return handle_.get(); }

 private:
  struct Cleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
  };
  std::unique_ptr<CURL, Cleanup> handle_;
};

// A header list; append() keeps ownership when libcurl runs out of memory.
class CurlSlist {
 public:
  CurlSlist() = default;
  CurlSlist(const CurlSlist&) = delete;
  CurlSlist& operator=(const CurlSlist&) = delete;
  CurlSlist(CurlSlist&&) noexcept = default;
  CurlSlist& operator=(CurlSlist&&) noexcept = default;

  void append(const std::string& line);  // throws std::bad_alloc
  curl_slist* get() const { return list_.get(); }

 private:
  struct Cleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  std::unique_ptr<curl_slist, Cleanup> list_;
};

}  // namespace bootstrap::docker
