"""Domain records: question papers, rubrics and answer sheets."""
