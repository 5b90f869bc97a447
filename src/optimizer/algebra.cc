#include "optimizer/algebra.h"

#include <utility>
#include <vector>

#include "node/node.h"

namespace velmora {

std::string op_token(std::string_view op) { return NodeKey::Op(std::string(op), {}).token(); }

std::string identity_token(const Identity& id) {
  std::vector<Param> params;
  params.emplace_back(std::string(kScalarParam), ParamValue::Float(id.scalar));
  params.emplace_back(std::string(kSideParam), ParamValue::Str(std::string(id.side)));
  return NodeKey::Op(std::string(id.op), {}, ParamMap(std::move(params))).token();
}

}  // namespace velmora
