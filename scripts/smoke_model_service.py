"""A short run of the model service: parse a question, write its rubric and reference answer, mark two answers."""

from quorvan_core.llm_service import LLMService

service = LLMService()
pages = {1: "Science Test - Class 8\nQ1. Define photosynthesis and name the gas it releases. [4 marks]"}
paper = service.parseQuestionPaper(pages, "Science", "English", "Class 8")
question = paper.get_question(paper.get_question_ids()[0])
rubric = service.generateRubric(question.text, question.max_marks, "Class 8", "Science")
reference = service.generateRefAnswer(question.text, rubric, "Class 8", "Science")
print(f"\n{question.q_id} ({question.max_marks} marks): {question.text}")
for criterion in rubric.criteria:
    print(f"  - {criterion.statement} ({criterion.mark} marks)")
print(f"Reference answer: {reference}\n")
for answer in [reference, "Plants are green."]:
    result = service.evaluateAnswer(answer, question.text, rubric, reference)
    print(f"Answer {answer!r}: {result['awarded_marks']}/{rubric.total_marks()} marks. {result['feedback']}")
print(f"\nToken usage: {service.get_total_usage()}")
