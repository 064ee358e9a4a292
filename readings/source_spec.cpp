// The "source" setting: the sources named by a word are the platform's; "file:PATH" and
// "prometheus:URL" are read the same way everywhere.
#include "readings/http_get.h"
#include "readings/source_factory.h"

namespace vorn::readings {

bool ParseSourceSpec(const std::string& text, SourceSpec* out, std::string* why) {
    if (ParsePlatformSourceName(text, out))
        return true;
    if (text.rfind("file:", 0) == 0 && text.size() > 5) {
        *out = SourceSpec{SourceSpec::Kind::kFile, text.substr(5)};
        return true;
    }
    if (text.rfind("prometheus:", 0) == 0) {
        const std::string url = text.substr(11);
        if (IsHttpUrl(url)) {
            *out = SourceSpec{SourceSpec::Kind::kPrometheus, url};
            return true;
        }
        *why = "prometheus:URL needs an http:// or https:// URL with a host, not '" +
               RedactUrl(url) + "'";
        return false;
    }
    *why = std::string("must be ") + kSourceChoices + ", not '" + RedactUrl(text) + "'";
    return false;
}

}  // namespace vorn::readings
