#include "bootstrap/docker/transport_pool.h"

#include <utility>

namespace bootstrap::docker {

// One transport taken from the pool for the length of one request; it goes
// back however the request ends, since a transfer that failed leaves the
// handle fit for the next one.
class TransportPool::Loan {
 public:
  explicit Loan(TransportPool& pool) : pool_(pool) {
    {
      std::lock_guard<std::mutex> lock(pool_.mutex_);
      if (!pool_.idle_.empty()) {
        transport_ = std::move(pool_.idle_.back());
        pool_.idle_.pop_back();
      }
    }
    // Made outside the lock: other requests need not wait for it.
    if (!transport_) transport_ = pool_.make_();
  }
  ~Loan() {
    std::lock_guard<std::mutex> lock(pool_.mutex_);
    pool_.idle_.push_back(std::move(transport_));
  }
  Loan(const Loan&) = delete;
  Loan& operator=(const Loan&) = delete;

  Transport& operator*() { return *transport_; }

 private:
  TransportPool& pool_;
  std::unique_ptr<Transport> transport_;
};

TransportPool::TransportPool(Factory make) : make_(std::move(make)) {
  std::unique_ptr<Transport> first = make_();
  endpoint_ = first->endpoint();
  idle_.push_back(std::move(first));
}

TransportPool::~TransportPool() = default;

Response TransportPool::send(const Request& request) {
  Loan transport(*this);
  return (*transport).send(request);
}

Response TransportPool::send_streaming(const Request& request, const LineSink& sink) {
  Loan transport(*this);
  return (*transport).send_streaming(request, sink);
}

Response TransportPool::send_streaming_bytes(const Request& request, const ByteSink& sink) {
  Loan transport(*this);
  return (*transport).send_streaming_bytes(request, sink);
}

Response TransportPool::send_upload(const Request& request, std::uint64_t length,
                                    const ByteSource& body, const LineSink& sink) {
  Loan transport(*this);
  return (*transport).send_upload(request, length, body, sink);
}

std::string TransportPool::endpoint() const { return endpoint_; }

}  // namespace bootstrap::docker
