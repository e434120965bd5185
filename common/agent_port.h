// The port the packaged agent service listens on, and where cdev-connect looks
// for the agent unless told otherwise. The agent itself takes its port from
// its command line; the packaging reads this value when it is configured.
#pragma once

constexpr int CDEV_DEFAULT_AGENT_PORT = 7350;
