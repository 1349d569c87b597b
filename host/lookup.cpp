#include "host/lookup.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace corvale::host {

namespace {

using asio::ip::tcp;

std::atomic<std::size_t> workers{0};

LookupResult Resolve(const std::string& host, const std::string& port) {
  asio::io_context io;
  tcp::resolver resolver(io);
  LookupResult result;
  // On this thread: the synchronous call does not start Asio's own resolver thread.
  const auto found = resolver.resolve(host, port, result.error);
  for (const auto& entry : found) result.endpoints.push_back(entry.endpoint());
  return result;
}

// An address and a numeric port: the answer, without a worker.
std::optional<LookupResult> Literal(const std::string& host, const std::string& port) {
  std::error_code notAddress;
  const auto address = asio::ip::make_address(host, notAddress);
  if (notAddress || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long number = std::stoul(port);
  if (number > 65535) return std::nullopt;
  return LookupResult{{}, {tcp::endpoint(address, static_cast<unsigned short>(number))}};
}

}  // namespace

struct PendingLookup::Shared {
  std::mutex mutex;
  std::condition_variable ended;
  std::optional<LookupResult> result;
  std::function<void(LookupResult)> done;  // cleared when abandoned
  std::optional<asio::any_io_executor> executor;
};

namespace {

// Starts the worker; false when too many lookups are late already.
bool StartWorker(const std::shared_ptr<PendingLookup::Shared>& shared, const std::string& host,
                 const std::string& port) {
  if (workers.fetch_add(1) >= kMostLateLookups) {
    --workers;
    return false;
  }
  try {
    std::thread([shared, host, port] {
      LookupResult result = Resolve(host, port);
      std::lock_guard lock(shared->mutex);
      if (shared->done && shared->executor) {
        asio::post(*shared->executor, [done = std::move(shared->done), result] { done(result); });
        shared->done = nullptr;
      }
      shared->result = std::move(result);
      shared->ended.notify_all();
      --workers;
    }).detach();
  } catch (const std::system_error&) {
    --workers;
    return false;
  }
  return true;
}

const std::error_code kTooManyLate =
    std::make_error_code(std::errc::resource_unavailable_try_again);

}  // namespace

LookupResult LookUp(const std::string& host, const std::string& port,
                    std::chrono::milliseconds timeout, const std::function<bool()>& cancelled) {
  if (auto literal = Literal(host, port)) return *literal;
  auto shared = std::make_shared<PendingLookup::Shared>();
  if (!StartWorker(shared, host, port)) return {kTooManyLate, {}};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(shared->mutex);
  while (!shared->result) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline || (cancelled && cancelled())) return {asio::error::timed_out, {}};
    shared->ended.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(50)));
  }
  return *shared->result;
}

PendingLookup::PendingLookup(asio::any_io_executor executor, const std::string& host,
                             const std::string& port, std::function<void(LookupResult)> done)
    : shared_(std::make_shared<Shared>()) {
  if (auto literal = Literal(host, port)) {
    asio::post(executor, [done = std::move(done), result = *literal] { done(result); });
    return;
  }
  shared_->done = std::move(done);
  shared_->executor = executor;
  if (!StartWorker(shared_, host, port)) {
    asio::post(executor, [done = std::move(shared_->done)] { done({kTooManyLate, {}}); });
    shared_->done = nullptr;
  }
}

PendingLookup::~PendingLookup() {
  Abandon();
}

void PendingLookup::Abandon() {
  std::lock_guard lock(shared_->mutex);
  shared_->done = nullptr;
  shared_->executor.reset();
}

}  // namespace corvale::host
