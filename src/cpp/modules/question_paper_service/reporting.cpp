#include "question_paper_service.hpp"

namespace quorvan::qp {

void init_reporting(ServiceClass& cls) {}

}  // namespace quorvan::qp
