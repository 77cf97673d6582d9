#pragma once
// The name and meaning of every code that a run's steps report: the download codes of
// services/http.h and the engine's own (engine/update_client.h), in one table, so that the
// diagnostic log and the headless updater can always say why a step failed:
// DescribeErrorCode(28) is "CONNECT_NO_PROBE (no address of the host answered the probe)".
#include <string>

std::wstring DescribeErrorCode(int code);
