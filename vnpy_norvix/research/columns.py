"""The columns of a history frame (vnpy_norvix/history/frames.py says which, in what
order and of what types), named here for research code."""

from ..history.frames import DATETIME, answers_frame, empty_frame, frame_of

__all__ = ["DATETIME", "answers_frame", "empty_frame", "frame_of"]
