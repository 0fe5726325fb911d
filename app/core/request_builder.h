#pragma once
// The one call the application core makes into the master engine: build and
// send the request described by the workspace (MasterWrite, WriteAddress,
// WriteCount, WriteValues, PollAddress, PollCount, RegType...). The window
// adapts the real master to it; tests record the calls.
#include <cstddef>

namespace korvane {

class RequestBuilder {
public:
  virtual ~RequestBuilder() = default;
  virtual void MasterPollPLC() = 0;
  // Bytes (RTU) or characters (ASCII) the last MasterPollPLC put on the
  // line; 0 when it sent nothing.
  virtual size_t SentCharacters() const = 0;
};

// Adapts any object with a MasterPollPLC() member (the master engine) to RequestBuilder.
template <typename Master> class RequestBuilderFor final : public RequestBuilder {
public:
  explicit RequestBuilderFor(Master& master) : master_(master) {}
  void MasterPollPLC() override { master_.MasterPollPLC(); }
  size_t SentCharacters() const override { return master_.SentCharacters; }

private:
  Master& master_;
};

} // namespace korvane
