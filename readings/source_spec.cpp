// The "source" setting: the sources named by a word are the platform's; "file:PATH" and
// "prometheus:URL" are read and made the same way everywhere.
#include "readings/file_source.h"
#include "readings/http_get.h"
#include "readings/prometheus_source.h"
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

std::unique_ptr<Source> MakePortableSource(const SourceSettings& settings, Warnings* warnings) {
    switch (settings.spec.kind) {
        case SourceSpec::Kind::kFile:
            return std::make_unique<FileSource>(settings.spec.location, warnings);
        case SourceSpec::Kind::kPrometheus: {
            PrometheusSettings prometheus;
            prometheus.url = settings.spec.location;
            prometheus.user = settings.user;
            prometheus.password = settings.password;
            if (settings.timeout_ms > 0)
                prometheus.timeout_ms = settings.timeout_ms;
            return std::make_unique<PrometheusSource>(std::move(prometheus), settings.mapping,
                                                      warnings);
        }
        case SourceSpec::Kind::kHwmon:
        case SourceSpec::Kind::kHwinfo:
        case SourceSpec::Kind::kGadget:
        case SourceSpec::Kind::kAuto:
            break;
    }
    return nullptr;
}

}  // namespace vorn::readings
