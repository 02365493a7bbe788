"""The teacher's tools: running one learner program in its own process, the
Chinese hints, grading a folder of programs and the report page."""
