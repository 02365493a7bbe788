"""Hostile programs that cut across the units: they must end in a Python
exception, never in a crash of the interpreter."""
import pytest

from tavik.tavik import AStar, CameraController


class SearchIsFindPath(AStar):
    search = AStar.findPath


class SizeIsFindPath(AStar):
    getNumCols = AStar.findPath


class ZoomUpdatesByZooming(CameraController):
    def __init__(self):  # no window needed: the loop is in the zoom alone
        self.radius = 10

    update_camera_position = CameraController.decrease_radius


def endless_search(kind):
    grid = kind(3, 3)
    grid.setStartNode(0, 0)
    grid.setEndNode(2, 2)
    return grid.findPath


@pytest.mark.parametrize("call", [
    endless_search(SearchIsFindPath),
    endless_search(SizeIsFindPath),
    ZoomUpdatesByZooming().decrease_radius,
], ids=["search is findPath", "getNumCols is findPath", "camera update zooms"])
def test_methods_made_to_call_each_other_for_ever_raise_recursion_error(call):
    with pytest.raises(RecursionError):
        call()
