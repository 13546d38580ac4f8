#include "question_paper_service.hpp"

namespace quorvan::qp {

void init_generation(ServiceClass& cls) {}

}  // namespace quorvan::qp
