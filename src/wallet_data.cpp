#include "wallet_data.h"

std::string read_tail_json(const std::string&, int, int) { return {}; }
std::string list_wallets_json(const std::string&) { return {}; }
