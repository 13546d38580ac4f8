import copy
import pickle
from fractions import Fraction

import pytest

from quorvan_core.datastructures.answersheet import Answer, Answersheet
from quorvan_core.datastructures.question_paper import Question, QuestionPaper
from quorvan_core.datastructures.rubric import Criterion, Rubric

HEADER = dict(subject="Math", language="English", class_level="Grade 10")
# Module level, so that pickle finds them by name.
MyQuestionPaper, MyQuestion, MyRubric, MyCriterion, MyAnswersheet, MyAnswer = (
    type("My" + c.__name__, (c,), {"__module__": __name__})
    for c in (QuestionPaper, Question, Rubric, Criterion, Answersheet, Answer))


def rubric(cls=Rubric, crit=Criterion):
    return cls([crit("Names the law", 2), crit("States the formula", 1.5), crit("Gives units", 0.5)])


def paper(cls=QuestionPaper, qcls=Question):
    p = cls(**HEADER)
    for q_id, marks in [("Q1", 2), ("Q2", 3.5), ("Q3", 4)]:
        p.add_question(qcls(q_id=q_id, text=f"Text of {q_id}", max_marks=marks))
    p.get_question("Q1").set_rubric(rubric())
    return p


def sheet(cls=Answersheet, acls=Answer):
    s = cls(**HEADER)
    for q_id in ["Q2", "Q1"]:
        s.add_answer(q_id, acls(q_id=q_id, text="answer", pages=[1, 2]))
    return s


@pytest.mark.parametrize("cls, kwargs", [
    (QuestionPaper, HEADER), (Answersheet, HEADER), (Question, dict(q_id="Q1", text="2+2?", max_marks=5.0)),
    (Criterion, dict(statement="Says 4", mark=2.0)), (Answer, dict(q_id="Q1", text="4", pages=[1, 3])),
    (Rubric, dict(criteria=[Criterion("Says 4", 2.0)]))])
def test_keyword_and_positional_construction_read_back(cls, kwargs):
    record = cls(**kwargs)
    assert record == cls(*kwargs.values())
    assert all(getattr(record, name) is value for name, value in kwargs.items())


@pytest.mark.parametrize("cls, kwargs, expected, got", [
    (QuestionPaper, dict(HEADER, subject=None), "subject' has incorrect type (expected str", "NoneType"),
    (Answersheet, dict(HEADER, class_level=10), "class_level' has incorrect type (expected str", "int"),
    (Question, dict(q_id="Q1", text=b"x", max_marks=1), "text' has incorrect type (expected str", "bytes"),
    (Question, dict(q_id="Q1", text="x", max_marks="5"), "max_marks' has incorrect type (expected float", "str"),
    (Criterion, dict(statement="s", mark=None), "mark' has incorrect type (expected float", "NoneType"),
    (Answer, dict(q_id="Q1", text="x", pages=(1,)), "pages' has incorrect type (expected list", "tuple"),
    (Rubric, dict(criteria=(Criterion("s", 1),)), "criteria' has incorrect type (expected list", "tuple")])
def test_construction_type_errors(cls, kwargs, expected, got):
    with pytest.raises(TypeError) as info:
        cls(**kwargs)
    assert str(info.value) == f"Argument '{expected}, got {got})"


def test_stored_values_and_unset_fields():
    q_id, pages, criteria = type("Id", (str,), {})("Q1"), [4], [Criterion("s", True)]
    q, a = Question(q_id, "t", Fraction(5, 2)), Answer("Q1", "t", pages)
    assert q.q_id is q_id and q.max_marks == 2.5 and type(criteria[0].mark) is float
    assert a.pages is pages and Rubric(criteria).criteria is criteria and Rubric().criteria is not Rubric().criteria
    assert (q.rubric, q.reference_answer, a.eval_rubric, a.feedback, Rubric(None).criteria) == (None,) * 4 + ([],)
    assert criteria[0].is_fulfilled is False and not hasattr(a, "evaluation_result")


@pytest.mark.parametrize("record", [QuestionPaper(**HEADER), Answersheet(**HEADER), Rubric(), Rubric([]),
                                    Question("", "", 0), Criterion("", 0), Answer("", "", [])])
def test_records_test_true_and_have_no_length(record):
    assert record
    with pytest.raises(TypeError):
        len(record)


def test_attributes_are_live_and_assignment_equals_setters():
    r = rubric()
    r.criteria[0].set_fulfill([0])
    r.criteria[1].set_fulfill("")
    assert [c.is_fulfilled for c in r.criteria] == [True, False, False] and r.to_list()[0]["is_fulfilled"] is True
    by_setter, by_assignment = Question("Q1", "t", 1), Question("Q1", "t", 1)
    by_setter.set_rubric(r), by_setter.set_reference_answer("ref")
    by_assignment.rubric, by_assignment.reference_answer = r, "ref"
    assert by_setter == by_assignment and by_assignment.rubric is r


def test_question_paper_order_replacement_copies_and_total():
    p, new_q2 = paper(), Question("Q2", "replaced", 1)
    p.add_question(new_q2)
    ids, all_questions = p.get_question_ids(), p.get_all_questions()
    assert ids == list(all_questions) == ["Q1", "Q2", "Q3"] and all_questions["Q2"] is new_q2
    ids.clear(), all_questions.clear()
    assert p.get_question_ids() == ["Q1", "Q2", "Q3"] and p.get_question("Q2") is p.questions["Q2"] is new_q2
    p.add_reference_answer("Q3", "ref")
    assert p.get_question("Q3").reference_answer == "ref"
    assert p.get_total_marks() == 7.0 and QuestionPaper(**HEADER).get_total_marks() == 0.0


@pytest.mark.parametrize("call", [lambda p: p.get_question("Q9"), lambda p: p.add_reference_answer("Q9", "x")])
def test_unknown_question_id_raises_key_error(call):
    with pytest.raises(KeyError) as info:
        call(paper())
    assert info.value.args == ("Question ID 'Q9' not found in question paper",)


def test_answersheet_order_replacement_and_lookup():
    s, answer = sheet(), Answer("Q2", "new", [3])
    s.add_answer("Q2", answer)
    s.get_question_ids().append("Q5")
    assert s.get_question_ids() == ["Q2", "Q1"] and s.get_answer("Q2") is answer and s.get_answer("Q3") is None
    with pytest.raises(TypeError, match=r"^Argument 'q_id' has incorrect type \(expected str, got int\)$"):
        s.add_answer(3, answer)


@pytest.mark.parametrize("fulfilled, awarded", [([], 0.0), ([1], 1.5), ([0, 2], 2.5), ([0, 1, 2], 4.0)])
def test_rubric_marks_and_list_form(fulfilled, awarded):
    r = rubric()
    for i in fulfilled:
        r.criteria[i].set_fulfill(True)
    assert (r.total_marks(), r.get_awarded_marks()) == (4.0, awarded)
    assert type(r.get_awarded_marks()) is type(Rubric().total_marks()) is float
    listed = r.to_list()
    assert listed == [{"statement": c.statement, "mark": c.mark, "is_fulfilled": i in fulfilled}
                      for i, c in enumerate(r.criteria)]
    assert [list(d) for d in listed] == [["statement", "mark", "is_fulfilled"]] * 3 and r.to_list() is not listed


def test_paper_calls_its_own_methods_through_python():
    class Recording(QuestionPaper):
        def get_question(self, q_id):
            return self.questions["alias"]

    p = Recording(**HEADER)
    p.questions["alias"] = MyQuestion("A", "t", 1)
    p.add_reference_answer("Q7", "ref")
    assert p.questions["alias"].reference_answer == "ref"


def test_deepcopy_of_rubric_marks_only_the_copy():
    r = rubric()
    marked = copy.deepcopy(r)
    marked.criteria[0].set_fulfill(True)
    assert r.get_awarded_marks() == 0.0 and marked.get_awarded_marks() == 2.0
    assert copy.copy(r).criteria is r.criteria


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o, 0)),
                                   lambda o: pickle.loads(pickle.dumps(o, pickle.HIGHEST_PROTOCOL))])
@pytest.mark.parametrize("make", [paper, sheet, rubric, lambda: paper(MyQuestionPaper, MyQuestion),
                                  lambda: sheet(MyAnswersheet, MyAnswer), lambda: rubric(MyRubric, MyCriterion)])
def test_copies_and_pickles_keep_type_state_and_extra_attributes(clone, make):
    obj = make()
    obj.note = {"marked_by": "worker-3"}
    twin = clone(obj)
    assert twin is not obj and type(twin) is type(obj) and twin == obj and twin.note == obj.note


def test_equality_compares_type_and_state():
    changed = paper()
    changed.get_question("Q1").rubric.criteria[2].set_fulfill(True)
    assert paper() == paper() and paper() != paper(MyQuestionPaper) and changed != paper() and Criterion("s", 1) != "s"
    with pytest.raises(TypeError):
        hash(Criterion("s", 1))


@pytest.mark.parametrize("record, text", [
    (paper(), "QuestionPaper(subject='Math', language='English', class_level='Grade 10', questions=3)"),
    (sheet(MyAnswersheet), "MyAnswersheet(subject='Math', language='English', class_level='Grade 10', answers=2)"),
    (Question("Q1", "x" * 41, 5), f"Question(q_id='Q1', max_marks=5.0, text='{'x' * 40}…')"),
    (Criterion("y" * 40, 2), f"Criterion(statement='{'y' * 40}', mark=2.0, is_fulfilled=False)"),
    (Answer("Q1", "4", [1, 2]), "Answer(q_id='Q1', pages=[1, 2], text='4')"),
    (rubric(), "Rubric(criteria=3, total_marks=4.0, awarded_marks=0.0)")])
def test_repr(record, text):
    assert repr(record) == text
