// rotalink: Damiao DM-series motors over Linux SocketCAN, from C++.
//
// One bus (SocketCanTransport), one motor (Damiao), several motors in one
// cycle (MotorGroup, its RAII GroupScope) and a fixed-rate control loop
// (ControlLoop), and a robot of named joints commanded in joint units
// (Robot, RobotLoop). Ordinary failures are values (Result<T>); no exception is
// thrown for them. See docs/CPP.md.
#pragma once

#include "rotalink/bus.hpp"
#include "rotalink/damiao.hpp"
#include "rotalink/export.hpp"
#include "rotalink/group.hpp"
#include "rotalink/result.hpp"
#include "rotalink/robot.hpp"
#include "rotalink/types.hpp"
#include "rotalink/version.hpp"
