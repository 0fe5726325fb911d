#include "app/core/master_request.h"

namespace korvane {

void SendMasterRequest(Workspace& ws, RequestBuilder& master, const TickSource& ticks) {
  master.MasterPollPLC();
  ws.ReplyDeadline = ticks.Now() + static_cast<uint32_t>(ws.ResponseTime);
}

StatusUpdate SendWriteRequest(Workspace& ws, RequestBuilder& master, const TickSource& ticks) {
  ws.MasterWrite = 1;
  SendMasterRequest(ws, master, ticks);
  return StatusDisplay(ws, kStatusNone, kWriteSentPrefix);
}

} // namespace korvane
