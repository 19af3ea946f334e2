// One release's layout as the compiler finds it in that release's headers. Only programs
// compiled against MuJoCo's headers include this: scripts/update-mujoco-layouts.sh, which
// writes the library's rows with it, and the test that the row of the installed release is
// what its headers say.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mujoco/mujoco.h>

#include "haptics/MujocoApi.h"

namespace Orvane::HardwareAPI::Haptics {

static_assert(sizeof(mjtNum) == sizeof(double), "the scene reads MuJoCo's numbers as double");
static_assert(sizeof(static_cast<mjData*>(nullptr)->nbuffer) == sizeof(std::int64_t) &&
                  sizeof(static_cast<mjData*>(nullptr)->narena) == sizeof(std::int64_t),
              "buffer sizes are read as 64-bit counts");

inline MujocoLayout MujocoLayoutFromHeaders() {
    MujocoLayout l{};
    l.version = mjVERSION_HEADER;
    l.count_bytes = sizeof(static_cast<mjModel*>(nullptr)->nq);  // int or 64-bit by release
    l.nq = offsetof(mjModel, nq);
    l.nv = offsetof(mjModel, nv);
    l.nbody = offsetof(mjModel, nbody);
    l.timestep = offsetof(mjModel, opt) + offsetof(mjOption, timestep);
    l.body_weldid = offsetof(mjModel, body_weldid);
    l.body_mocapid = offsetof(mjModel, body_mocapid);
    l.body_jntnum = offsetof(mjModel, body_jntnum);
    l.body_jntadr = offsetof(mjModel, body_jntadr);
    l.jnt_type = offsetof(mjModel, jnt_type);
    l.geom_bodyid = offsetof(mjModel, geom_bodyid);
    l.body_mass = offsetof(mjModel, body_mass);
    l.body_subtreemass = offsetof(mjModel, body_subtreemass);

    l.nbuffer = offsetof(mjData, nbuffer);
    l.narena = offsetof(mjData, narena);
    l.buffer = offsetof(mjData, buffer);
    l.time = offsetof(mjData, time);
    l.ncon = offsetof(mjData, ncon);
    l.qpos = offsetof(mjData, qpos);
    l.qvel = offsetof(mjData, qvel);
    l.qacc = offsetof(mjData, qacc);
    l.xpos = offsetof(mjData, xpos);
    l.xfrc_applied = offsetof(mjData, xfrc_applied);
    l.contact = offsetof(mjData, contact);
    l.contact_size = sizeof(mjContact);
    l.contact_geom1 = offsetof(mjContact, geom1);
    l.contact_geom2 = offsetof(mjContact, geom2);
    l.warning = offsetof(mjData, warning);
    l.warning_size = sizeof(mjWarningStat);
    l.warning_number = offsetof(mjWarningStat, number);
    l.warn_badqpos = mjWARN_BADQPOS;
    l.warn_badqvel = mjWARN_BADQVEL;
    l.warn_badqacc = mjWARN_BADQACC;

    l.state_time = mjSTATE_TIME;
    l.state_qpos = mjSTATE_QPOS;
    l.state_qvel = mjSTATE_QVEL;
    l.state_xfrc_applied = mjSTATE_XFRC_APPLIED;
    l.object_body = mjOBJ_BODY;
    l.joint_free = mjJNT_FREE;
    l.joint_slide = mjJNT_SLIDE;
    return l;
}

}  // namespace Orvane::HardwareAPI::Haptics
