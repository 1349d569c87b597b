#include "host/notify/compose.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "host/events.h"

namespace corvale::host::notify {

namespace {

const char* NtfyPriority(const Notice& notice) {
  if (notice.priority >= 5) return "urgent";
  if (notice.priority >= 4) return "high";
  return "default";
}

// "Wed, 09 Dec 2026 08:30:08 +0000", as mail's Date header wants it.
std::string MailDate(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss time{floor<seconds>(when - day)};
  char text[48];
  std::snprintf(text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d +0000",
                kDays[weekday{day}.c_encoding()], static_cast<unsigned>(date.day()),
                kMonths[static_cast<unsigned>(date.month()) - 1], static_cast<int>(date.year()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::string Body(const Notice& notice, const Extras& extras) {
  std::string text = notice.message;
  if (!extras.late.empty()) text += " (" + extras.late + ")";
  if (extras.dropped != 0) {
    text +=
        " (" + std::to_string(extras.dropped) + " older notices were dropped: the outbox was full)";
  }
  return text;
}

void HideEach(std::string& text, const std::string& hidden) {
  if (hidden.empty()) return;
  for (auto at = text.find(hidden); at != std::string::npos; at = text.find(hidden, at + 3)) {
    text.replace(at, hidden.size(), "...");
  }
}

}  // namespace

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < ' ' || c == '\x7f') c = ' ';
  }
  return text;
}

HttpRequest ComposeHttp(const Config::Notify& entry, const std::string& secret,
                        const Notice& notice, const Extras& extras) {
  HttpRequest request;
  const auto header = [&](const std::string& line) { request.headers.push_back(OneLine(line)); };
  const std::string subject = OneLine(Subject(notice));
  const std::string text = Body(notice, extras);
  header("X-Corvale-Notice-Id: " + notice.id);
  header("Idempotency-Key: " + notice.id);
  if (!secret.empty()) header("Authorization: Bearer " + secret);
  if (entry.kind == Config::Notify::Kind::kNtfy) {
    header("Title: " + subject);
    header(std::string("Priority: ") + NtfyPriority(notice));
    header("Tags: " + std::string(notice.priority >= 4 ? "warning," : "") + OneLine(notice.event));
    request.body = text;
    header("Content-Type: text/plain; charset=utf-8");
    return request;
  }
  nlohmann::json json;
  if (entry.format == "text") {
    json = {{"text", subject + ": " + text}};
  } else {
    json = {{"id", notice.id},
            {"event", notice.event},
            {"ups", notice.ups},
            {"state", notice.state},
            {"message", text},
            {"subject", subject},
            {"time", UtcTimestamp(notice.time)},
            {"sequence", notice.sequence},
            {"host", extras.host},
            {"late", !extras.late.empty()}};
  }
  request.body = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  header("Content-Type: application/json");
  return request;
}

std::string ComposeMail(const Config::Notify& entry, const Notice& notice, const Extras& extras,
                        std::chrono::system_clock::time_point now) {
  const std::string subject = OneLine(Subject(notice));
  std::string to;
  for (const auto& address : entry.to) to += (to.empty() ? "" : ", ") + address;
  return "Date: " + MailDate(now) + "\r\nMIME-Version: 1.0\r\nFrom: " + entry.from +
         "\r\nTo: " + to + "\r\nSubject: " + subject + "\r\nMessage-ID: <" + OneLine(notice.id) +
         "@corvale-ups>\r\nX-Corvale-Event: " + OneLine(notice.event) +
         "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + subject + "\r\n\r\n" +
         Body(notice, extras) + "\r\n\r\nSent by corvale-ups on " + extras.host + ".\r\n";
}

Delivery Hidden(Delivery delivery, const Config::Notify& entry, const std::string& secret) {
  const auto scheme = entry.url.find("://");
  const auto path =
      scheme == std::string::npos ? std::string::npos : entry.url.find_first_of("/?", scheme + 3);
  const std::string key = path == std::string::npos ? "" : entry.url.substr(path + 1);
  // A short path ("/") would hide ordinary words.
  for (const std::string& hidden : {entry.url, key}) {
    if (hidden.size() >= 4) HideEach(delivery.reason, hidden);
  }
  HideEach(delivery.reason, secret);
  return delivery;
}

}  // namespace corvale::host::notify
