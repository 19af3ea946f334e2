// Recorded sessions read from the MCAP files the orvane package writes, for the replaying
// devices.
#pragma once

#include <string>

#include "ArmDevice.h"
#include "HandleDevice.h"
#include "McapReader.h"
#include "RecordingLayout.h"
#include "ReplayTrack.h"

namespace Orvane::Sim {

// Read `path`; false with `error` when it holds no record of that device. The identity is
// the recorded one where the recording has it, `identity` as given otherwise.
bool LoadArmReplay(const std::string& path, Recorded<ArmSample>& out, ArmIdentity& identity,
                   std::string& error);
bool LoadHandleReplay(const std::string& path, Recorded<HandleSample>& out,
                      HandleIdentity& identity, std::string& error);
// The same from contents already read.
bool ArmReplayFrom(const McapContents& contents, Recorded<ArmSample>& out, ArmIdentity& identity,
                   std::string& error);
bool HandleReplayFrom(const McapContents& contents, Recorded<HandleSample>& out,
                      HandleIdentity& identity, std::string& error);

}  // namespace Orvane::Sim
