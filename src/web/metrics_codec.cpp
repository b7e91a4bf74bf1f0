#include "web/metrics_codec.h"

#include <boost/beast/http/field.hpp>
#include <cstdint>
#include <memory>
#include <utility>

#include "web/http_answer.h"

namespace web {

namespace {

constexpr std::string_view kPrometheusText = "text/plain; version=0.0.4; charset=utf-8";
constexpr std::string_view kOpenMetrics =
    "application/openmetrics-text; version=1.0.0; charset=utf-8";

enum Tag : std::uint32_t {
  kDone = 1,
  kHttp = 2,  // the request being read, until done
};

class MetricsSite final : public HttpSite {
 public:
  explicit MetricsSite(std::shared_ptr<const RenderMetrics> render) : render_(std::move(render)) {}

  Reply Serve(const RequestFacts& request) override {
    Reply reply{HttpStatus::not_found, "text/plain; charset=utf-8", "Not found.\n"};
    if (request.path == "/metrics") {
      const MetricsFormat format =
          ChooseMetricsFormat(FieldList(request.request, boost::beast::http::field::accept));
      rendered_ = (*render_)(format);
      reply = {HttpStatus::ok,
               format == MetricsFormat::OpenMetrics ? kOpenMetrics : kPrometheusText, rendered_};
    }
    return reply;
  }

  bool KeepsConnections() const override { return false; }

 private:
  std::shared_ptr<const RenderMetrics> render_;
  std::string rendered_;  // the body of the answer being written
};

class MetricsCodec final : public connection::Codec {
 public:
  explicit MetricsCodec(std::shared_ptr<const RenderMetrics> render) : site_(std::move(render)) {}

  bool PlaysFromStart() const override { return false; }
  const char* DoorName() const override { return "metrics"; }

  void Read(std::string_view bytes, connection::CodecEvents& events, std::string& toPeer) override {
    if (done_) return;
    if (answerer_.Read(bytes, events.Now().unixSeconds, toPeer) == HttpAnswerer::Result::Reading)
      return;
    done_ = true;  // the site keeps no connection after its answer
    events.Done();
  }

  void Write(std::string_view, std::string&) override {}

  void Refuse(std::string_view text, std::string& out) override { AppendRefusal(text, out); }

  void SaveState(base::FieldWriter& out) const override {
    out.Bool(kDone, done_);
    if (done_) return;
    base::FieldWriter http;
    answerer_.SaveState(http);
    out.Record(kHttp, http);
  }

  bool RestoreState(base::FieldReader& in) override {
    done_ = in.Bool(kDone);
    base::FieldReader http = in.Record(kHttp);
    return in.Good() && (done_ || answerer_.RestoreState(http));
  }

 private:
  MetricsSite site_;
  HttpAnswerer answerer_{site_};
  bool done_ = false;
};

}  // namespace

connection::CodecMaker MetricsCodecMaker(RenderMetrics render) {
  auto shared = std::make_shared<const RenderMetrics>(std::move(render));
  return [shared](const connection::Endpoints&) { return std::make_unique<MetricsCodec>(shared); };
}

}  // namespace web
