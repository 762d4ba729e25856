// Token ids back to text, and the list of ids.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "model/data.hpp"

namespace tolvane {

// Joins the token texts, then reads the result as lossy UTF-8. Fails with
// "This should not happend" at the first id that lookup lacks.
std::string decode_tokens(const Data& data, std::span<const token_id> ids);

// Every id of lookup, ascending.
std::vector<token_id> vocab_ids(const Data& data);

}  // namespace tolvane
