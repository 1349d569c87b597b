// Mail on Windows: SMTP with STARTTLS (or TLS from the start, smtps://) through Schannel, the
// login only once the server's certificate is trusted.
#pragma once

#include "host/notify/sender.h"

namespace corvale::host::notify {

Delivery SendMail(const Config::Notify& entry, const std::string& secret, const Notice& notice,
                  const Extras& extras);

}  // namespace corvale::host::notify
