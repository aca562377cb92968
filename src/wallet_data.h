// Wallet data services: the wallet log tail and the wallet file listing, as JSON.
#pragma once

#include <string>

// A slice of the log as {"lines":[...],"file_size":N}: the last `lines`
// lines for a negative offset, else what was appended after offset.
std::string read_tail_json(const std::string& path, int lines, int offset);

// The wallet files of a folder as {"wallets":[...]}.
std::string list_wallets_json(const std::string& dir);
