"""A learner's scene against the teacher's solution: a score, a short reason, a picture.

Drawings are compared as sets of lines, not as pictures: each side's
segments are joined where they continue one another on one straight line,
so the order, the direction and the pieces a line was drawn in do not
matter. A solution line counts as drawn by the share of it that lies
within the tolerance of the learner's lines; a learner's line that the
solution does not have counts as extra. With `anywhere` both figures are
moved to their centre first, with `any_size` scaled to one size. Dots,
texts and models are compared as sets (models by name).

The score is what matched over what the solution has plus what is extra,
from 0 to 100; the reason names what is missing and what is extra.
"""
import math
from collections import Counter
from dataclasses import dataclass, field

from tavik.classroom.scene import Scene

DEFAULT_TOLERANCE = 0.02    # share of the solution figure's size
COVERED = 0.9               # a line drawn to this share counts as there
MOST_SAMPLES = 64


@dataclass
class Comparison:
    score: int
    explanation: str
    missing_lines: list = field(default_factory=list)   # [start, end] where they belong in the learner's figure
    extra_lines: list = field(default_factory=list)     # [start, end] in the learner's coordinates
    missing_dots: int = 0
    extra_dots: int = 0
    missing_texts: list = field(default_factory=list)
    extra_texts: list = field(default_factory=list)
    missing_models: list = field(default_factory=list)
    extra_models: list = field(default_factory=list)
    picture: str = None


@dataclass
class Frame:
    """Where a figure sits and how big it is, to move it to the origin and size 1."""
    centre: tuple = (0.0, 0.0, 0.0)
    scale: float = 1.0

    def apply(self, point):
        return tuple((value - middle) / self.scale for value, middle in zip(point, self.centre))

    def restore(self, point):
        return tuple(value * self.scale + middle for value, middle in zip(point, self.centre))


# ---- geometry --------------------------------------------------------------------

def subtract(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def along(a, b, share):
    return (a[0] + (b[0] - a[0]) * share, a[1] + (b[1] - a[1]) * share, a[2] + (b[2] - a[2]) * share)


def distance_to_segment(point, start, end):
    direction = subtract(end, start)
    length_squared = dot(direction, direction)
    if length_squared == 0:
        return math.dist(point, start)
    share = max(0.0, min(1.0, dot(subtract(point, start), direction) / length_squared))
    return math.dist(point, along(start, end, share))


def weighted_points(scene):
    """Each segment's middle weighted by its length, each dot with weight 0 unless nothing else is drawn."""
    points = [(along(segment.start, segment.end, 0.5), segment.length) for segment in scene.segments if segment.length]
    if not points:
        points = [(dot_.point, 1.0) for dot_ in scene.dots]
    return points


def frame_of(scene, anywhere, any_size):
    points = weighted_points(scene)
    total = sum(weight for _, weight in points)
    centre = (0.0, 0.0, 0.0)
    if anywhere and total:
        centre = tuple(sum(point[axis] * weight for point, weight in points) / total for axis in range(3))
    scale = 1.0
    if any_size and total:
        ends = [end for segment in scene.segments for end in (segment.start, segment.end)] or \
               [dot_.point for dot_ in scene.dots]
        spread = math.sqrt(sum(math.dist(end, centre) ** 2 for end in ends) / len(ends))
        scale = spread or 1.0
    return Frame(centre, scale)


def figure_size(lines, dots):
    ends = [end for line in lines for end in line] + dots
    if not ends:
        return 0.0
    low = [min(end[axis] for end in ends) for axis in range(3)]
    high = [max(end[axis] for end in ends) for axis in range(3)]
    return math.dist(low, high)


def collinear(first, second, tolerance):
    return all(line_distance(end, second) <= tolerance for end in first)


def line_distance(point, line):
    """Distance from `point` to the infinite line through `line`."""
    start, end = line
    direction = subtract(end, start)
    length = math.sqrt(dot(direction, direction))
    offset = subtract(point, start)
    if not length:
        return math.sqrt(dot(offset, offset))
    share = dot(offset, direction) / length
    return math.sqrt(max(0.0, dot(offset, offset) - share * share))


def join_lines(lines, tolerance):
    """Pieces that continue one another on one straight line become one line."""
    lines = [line for line in lines if math.dist(*line) > tolerance]
    changed = True
    while changed:
        changed = False
        index = 0
        while index < len(lines):
            other = index + 1
            while other < len(lines):
                merged = merge(lines[index], lines[other], tolerance)
                if merged is None:
                    other += 1
                    continue
                lines[index] = merged
                del lines[other]
                changed = True
            index += 1
    return lines


def merge(first, second, tolerance):
    if not (collinear(first, second, tolerance) and collinear(second, first, tolerance)):
        return None
    start, end = first
    direction = subtract(end, start)
    length = math.sqrt(dot(direction, direction))
    unit = tuple(value / length for value in direction)
    positions = [(dot(subtract(point, start), unit), point) for point in (*first, *second)]
    first_span = sorted(position for position, _ in positions[:2])
    second_span = sorted(position for position, _ in positions[2:])
    if second_span[0] > first_span[1] + tolerance or first_span[0] > second_span[1] + tolerance:
        return None
    positions.sort(key=lambda pair: pair[0])
    return (positions[0][1], positions[-1][1])


class SegmentIndex:
    """Segments in a grid of cells, to find the ones near a point quickly."""

    def __init__(self, lines, tolerance, size):
        self.lines = lines
        self.tolerance = tolerance
        self.cell = max(2 * tolerance, size / 64, 1e-9)
        self.cells = {}
        for number, (start, end) in enumerate(lines):
            steps = max(1, math.ceil(math.dist(start, end) / (self.cell / 4)))
            for step in range(steps + 1):
                self.cells.setdefault(self.key(along(start, end, step / steps)), set()).add(number)

    def key(self, point):
        return tuple(math.floor(value / self.cell) for value in point)

    def near(self, point):
        x, y, z = self.key(point)
        found = set()
        for dx in (-1, 0, 1):
            for dy in (-1, 0, 1):
                for dz in (-1, 0, 1):
                    found |= self.cells.get((x + dx, y + dy, z + dz), set())
        return any(distance_to_segment(point, *self.lines[number]) <= self.tolerance for number in found)


def covered_share(line, index, tolerance):
    count = min(MOST_SAMPLES, max(4, math.ceil(math.dist(*line) / max(tolerance, 1e-9))))
    hits = sum(1 for step in range(count) if index.near(along(line[0], line[1], (step + 0.5) / count)))
    return hits / count


def match_dots(wanted, given, tolerance):
    """How many of `wanted` have a dot of `given` near them (each used once)."""
    left = list(given)
    matched = 0
    for point in wanted:
        for number, other in enumerate(left):
            if math.dist(point, other) <= tolerance:
                matched += 1
                del left[number]
                break
    return matched


def text_counts(scene):
    return Counter(text.text.strip() for text in scene.texts if text.text.strip())


def model_counts(scene):
    return Counter(model.name for model in scene.models)


# ---- the comparison ------------------------------------------------------------------

def compare_scenes(learner, solution, anywhere=False, any_size=False, tolerance=DEFAULT_TOLERANCE):
    """`learner` against `solution` (both `Scene`s): a `Comparison` without its picture."""
    learner_frame, solution_frame = frame_of(learner, anywhere, any_size), frame_of(solution, anywhere, any_size)
    solution_lines = [(solution_frame.apply(s.start), solution_frame.apply(s.end)) for s in solution.segments]
    learner_lines = [(learner_frame.apply(s.start), learner_frame.apply(s.end)) for s in learner.segments]
    solution_dots = [solution_frame.apply(d.point) for d in solution.dots]
    learner_dots = [learner_frame.apply(d.point) for d in learner.dots]
    size = figure_size(solution_lines, solution_dots) or figure_size(learner_lines, learner_dots) or 1.0
    close = tolerance * size
    wanted, given = join_lines(solution_lines, close), join_lines(learner_lines, close)
    learner_index = SegmentIndex(given, close, size)
    solution_index = SegmentIndex(wanted, close, size)
    drawn = [covered_share(line, learner_index, close) for line in wanted]
    unwanted = [1 - covered_share(line, solution_index, close) for line in given]
    missing_lines = [line for line, share in zip(wanted, drawn) if share < COVERED]
    extra_lines = [line for line, share in zip(given, unwanted) if share > 1 - COVERED]

    matched_dots = match_dots(solution_dots, learner_dots, close)
    wanted_texts, given_texts = text_counts(solution), text_counts(learner)
    wanted_models, given_models = model_counts(solution), model_counts(learner)
    result = Comparison(
        score=0, explanation="",
        missing_lines=[[learner_frame.restore(end) for end in line] for line in missing_lines],
        extra_lines=[[learner_frame.restore(end) for end in line] for line in extra_lines],
        missing_dots=len(solution_dots) - matched_dots, extra_dots=len(learner_dots) - matched_dots,
        missing_texts=sorted((wanted_texts - given_texts).elements()),
        extra_texts=sorted((given_texts - wanted_texts).elements()),
        missing_models=sorted((wanted_models - given_models).elements()),
        extra_models=sorted((given_models - wanted_models).elements()))
    matched = (sum(drawn) + matched_dots + sum((wanted_texts & given_texts).values())
               + sum((wanted_models & given_models).values()))
    total = (len(wanted) + len(solution_dots) + sum(wanted_texts.values()) + sum(wanted_models.values())
             + sum(unwanted) + result.extra_dots + len(result.extra_texts) + len(result.extra_models))
    result.score = 100 if total == 0 else round(100 * matched / total)
    if result.score == 100 and total and matched < total:
        result.score = 99       # never a full score for a difference it names
    result.explanation = explain(result)
    return result


def explain(result):
    parts = []
    counted = [(len(result.missing_lines), len(result.extra_lines), "条线"),
               (result.missing_dots, result.extra_dots, "个点"),
               (len(result.missing_texts), len(result.extra_texts), "段文字"),
               (len(result.missing_models), len(result.extra_models), "个模型")]
    for missing, _, unit in counted:
        if missing:
            parts.append(f"少了 {missing} {unit}")
    for _, extra, unit in counted:
        if extra:
            parts.append(f"多了 {extra} {unit}")
    return "；".join(parts) if parts else "和参考答案一样"


def compare_data(learner, solution, **options):
    """The comparison of two scene records as they are stored in the report."""
    return compare_scenes(Scene.from_data(learner), Scene.from_data(solution), **options)


# ---- the picture -------------------------------------------------------------------------

PANEL = (360, 270)
MARGIN = 16
INK = (60, 60, 60)
EXTRA = (230, 60, 20)       # what the learner drew and the solution does not have
MISSING = (20, 100, 240)    # what the solution has and the learner did not draw
PAPER = (255, 255, 255)
VIEWS = (("摄像机", "camera"), ("正面", "front"), ("顶面", "top"))
NEAR = 0.1


def flat_view(view):
    """front: x across, z up (looking along +y); top: x across, y up."""
    if view == "front":
        return lambda point: (point[0], point[2])
    return lambda point: (point[0], point[1])


def camera_view(camera):
    """Camera coordinates of a point (x right, y ahead, z up) from the row-vector matrix render -> camera."""
    matrix = camera.view

    def to_camera(point):
        x, y, z = point
        return tuple(x * matrix[column] + y * matrix[4 + column] + z * matrix[8 + column] + matrix[12 + column]
                     for column in range(3))
    across = math.tan(math.radians(camera.fov[0]) / 2) or 1.0
    up = math.tan(math.radians(camera.fov[1]) / 2) or 1.0

    def project(point):
        x, y, z = point
        return (x / (y * across), z / (y * up))
    return to_camera, project


class View:
    """One way of looking at both scenes, the same for the learner's panel and the solution's."""

    def __init__(self, kind, camera):
        self.kind = kind
        if kind == "camera" and camera is not None and camera.view:
            self.to_camera, self.project = camera_view(camera)
        else:
            self.kind = "front" if kind == "camera" else kind
            self.to_camera, self.project = None, flat_view(self.kind)
        self.box = None

    def flat_line(self, start, end):
        """The line on the view's plane, or None when it is wholly behind the camera."""
        if self.to_camera is None:
            return self.project(start), self.project(end)
        start, end = self.to_camera(start), self.to_camera(end)
        if start[1] < NEAR and end[1] < NEAR:
            return None
        if start[1] < NEAR or end[1] < NEAR:
            share = (NEAR - start[1]) / (end[1] - start[1])
            cut = along(start, end, share)
            start, end = (cut, end) if start[1] < NEAR else (start, cut)
        return self.project(start), self.project(end)

    def flat_point(self, point):
        if self.to_camera is None:
            return self.project(point)
        point = self.to_camera(point)
        return None if point[1] < NEAR else self.project(point)

    def fit(self, flat_points):
        if self.kind == "camera":
            self.box = (-1.0, -1.0, 1.0, 1.0)
            return
        points = list(flat_points) or [(0.0, 0.0)]
        low_x, high_x = min(p[0] for p in points), max(p[0] for p in points)
        low_y, high_y = min(p[1] for p in points), max(p[1] for p in points)
        half = max(high_x - low_x, (high_y - low_y) * PANEL[0] / PANEL[1], 1e-6) / 2 * 1.1
        middle_x, middle_y = (low_x + high_x) / 2, (low_y + high_y) / 2
        half_y = half * PANEL[1] / PANEL[0]
        self.box = (middle_x - half, middle_y - half_y, middle_x + half, middle_y + half_y)

    def pixel(self, flat, left, top):
        low_x, low_y, high_x, high_y = self.box
        width, height = PANEL[0] - 2 * MARGIN, PANEL[1] - 2 * MARGIN
        return (left + MARGIN + (flat[0] - low_x) / (high_x - low_x) * width,
                top + MARGIN + (high_y - flat[1]) / (high_y - low_y) * height)


def scene_points(scene):
    return ([end for segment in scene.segments for end in (segment.start, segment.end)]
            + [dot_.point for dot_ in scene.dots] + [model.position for model in scene.models])


def draw_scene(canvas, view, scene, left, top, font, marked=(), odd_models=(), mark=INK):
    """The scene's lines, dots and models in INK; `marked` lines and the models named in `odd_models` in `mark`."""
    for segment in scene.segments:
        draw_line(canvas, view, segment.start, segment.end, left, top, INK, 2)
    for dot_ in scene.dots:
        draw_dot(canvas, view, dot_.point, left, top, INK, 3)
    odd = Counter(odd_models)
    for model in reversed(scene.models):       # the last loaded of a name is the one that counts as extra
        spot = view.flat_point(model.position)
        if spot is None:
            continue
        colour = INK
        if odd[model.name]:
            odd[model.name] -= 1
            colour = mark
        x, y = view.pixel(spot, left, top)
        canvas.rectangle((x - 4, y - 4, x + 4, y + 4), outline=colour, width=2 if colour != INK else 1)
        canvas.text((x + 6, y - 8), model.name, fill=colour, font=font)
    for (start, end), colour in marked:
        draw_line(canvas, view, start, end, left, top, colour, 4)


def draw_line(canvas, view, start, end, left, top, colour, width):
    flat = view.flat_line(start, end)
    if flat is not None:
        canvas.line([view.pixel(flat[0], left, top), view.pixel(flat[1], left, top)], fill=colour, width=width)


def draw_dot(canvas, view, point, left, top, colour, radius):
    spot = view.flat_point(point)
    if spot is not None:
        x, y = view.pixel(spot, left, top)
        canvas.ellipse((x - radius, y - radius, x + radius, y + radius), fill=colour)


def load_font(size):
    from importlib import resources
    from PIL import ImageFont
    try:
        with resources.as_file(resources.files("tavik").joinpath("zkwy.ttf")) as path:
            return ImageFont.truetype(str(path), size)
    except OSError:
        return ImageFont.load_default()


def draw_comparison(learner, solution, comparison, path):
    """Learner (left) and solution (right) from the solution's camera, the front and the top; returns `path`."""
    from PIL import Image, ImageDraw
    font, title_font = load_font(13), load_font(16)
    header = 28
    image = Image.new("RGB", (PANEL[0] * 2 + 3, header + (PANEL[1] + 3) * len(VIEWS) + 24), (210, 214, 220))
    canvas = ImageDraw.Draw(image)
    canvas.text((MARGIN, 6), "学生的程序", fill=INK, font=title_font)
    canvas.text((PANEL[0] + 3 + MARGIN, 6), "参考答案", fill=INK, font=title_font)
    marks = ([(line, EXTRA) for line in comparison.extra_lines]
             + [(line, MISSING) for line in comparison.missing_lines])
    for row, (label, kind) in enumerate(VIEWS):
        view = View(kind, solution.camera or learner.camera)
        view.fit([flat for point in scene_points(learner) + scene_points(solution)
                  for flat in [view.flat_point(point)] if flat is not None])
        top = header + row * (PANEL[1] + 3)
        sides = ((learner, marks, comparison.extra_models, EXTRA), (solution, (), comparison.missing_models, MISSING))
        for column, (scene, marked, odd_models, mark) in enumerate(sides):
            left = column * (PANEL[0] + 3)
            canvas.rectangle((left, top, left + PANEL[0] - 1, top + PANEL[1] - 1), fill=PAPER)
            draw_scene(canvas, view, scene, left, top, font, marked, odd_models, mark)
            canvas.text((left + 6, top + 4), label, fill=(120, 120, 120), font=font)
    bottom = image.height - 20
    canvas.text((MARGIN, bottom), "红色：多画的", fill=EXTRA, font=font)
    canvas.text((MARGIN + 120, bottom), "蓝色：少画的", fill=MISSING, font=font)
    image.save(path)
    return path

