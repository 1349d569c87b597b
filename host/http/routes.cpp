// What each path answers: the routing of the HTTP endpoint, without a socket.
#include "host/http/routes.h"

#include <algorithm>

#include "host/history.h"
#include "host/http/reports.h"

namespace corvale::host::http {

Reply Text(int status, const std::string& text) {
  return {status, "text/plain; charset=utf-8", text + "\n"};
}

namespace {

// "since" and "limit" from "a=1&b=2"; only these two, without percent escapes beyond "%3A" and
// "%2B", which a timestamp may carry.
std::optional<std::string> QueryValue(const std::string& query, const std::string& key) {
  std::size_t at = 0;
  while (at <= query.size()) {
    const std::size_t end = std::min(query.find('&', at), query.size());
    const std::string pair = query.substr(at, end - at);
    if (pair.rfind(key + "=", 0) == 0) {
      std::string value = pair.substr(key.size() + 1), plain;
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value.compare(i, 3, "%3A") == 0 || value.compare(i, 3, "%3a") == 0) {
          plain += ':';
          i += 2;
        } else if (value.compare(i, 3, "%2B") == 0 || value.compare(i, 3, "%2b") == 0) {
          plain += '+';
          i += 2;
        } else {
          plain += value[i];
        }
      }
      return plain;
    }
    at = end + 1;
  }
  return std::nullopt;
}

}  // namespace

Reply Answer(const std::string& target, const StatusSnapshot& snapshot,
             const std::string& historyFile, const std::string& version) {
  const auto question = target.find('?');
  const std::string path = target.substr(0, question);
  const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
  if (path == "/metrics") {
    return {200, "text/plain; version=0.0.4; charset=utf-8", Metrics(snapshot, version)};
  }
  if (path == "/api/v1/status") {
    return {200, "application/json", StatusJson(snapshot, version)};
  }
  if (path == "/api/v1/events") {
    std::optional<std::chrono::system_clock::time_point> since;
    if (const auto text = QueryValue(query, "since")) {
      since = ParseTimestamp(*text);
      if (!since) return Text(400, "since: an RFC 3339 time such as 2026-12-08T12:00:00Z");
    }
    // Asked for more than the most: the most. Each request's cost is bounded by it.
    std::size_t limit = 100;
    if (const auto text = QueryValue(query, "limit")) {
      if (text->empty() || text->size() > 4 ||
          text->find_first_not_of("0123456789") != std::string::npos || std::stoul(*text) == 0) {
        return Text(400, "limit: a number from 1 to 9999");
      }
      limit = std::min<std::size_t>(std::stoul(*text), kMostRecentRecords);
    }
    std::vector<HistoryRecord> records;
    if (!historyFile.empty()) {
      records = ReadRecentHistory(historyFile, since, limit);
    } else {
      for (const auto& record : snapshot.recentEvents) {
        if (!since || record.time >= *since) records.push_back(record);
      }
      if (records.size() > limit) records.erase(records.begin(), records.end() - limit);
    }
    return {200, "application/json", EventsJson(records)};
  }
  if (path == "/" || path == "/index.html") {
    return {200, "text/html; charset=utf-8", kStatusPage};
  }
  return Text(404, "not found: try /, /metrics, /api/v1/status or /api/v1/events");
}

}  // namespace corvale::host::http
