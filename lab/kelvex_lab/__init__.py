"""Lab sheets for the virtual satellite: checks on a run, replay of a run
folder, and grading a class of missions."""

__version__ = "1.0.0"
