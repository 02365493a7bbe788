"""A plain Python rendition of the grid path finder, step by step.

The differential tests and the benchmarks compare the module's AStarNode
and AStar against these two classes: linear membership scans, a stable
sort of the whole open list before every removal, every method called
through the object.  The only addition is the guard in buildPath, which
stops a walk that would go round a loop of parent links for ever.
"""

CYCLE_MESSAGE = "无法回溯路径：父节点形成了环，回不到起点（代价乘数或代价是否设成了负数？）"


class AStarNode:
    def __init__(self, pr, pc):
        self.f = 0
        self.g = 0
        self.h = 0
        self.walkable = True
        self.parent = None
        self.costMultiplier = 1.0
        self.r = pr
        self.c = pc


class AStar:
    def __init__(self, numCols, numRows):
        self._open = None
        self._closed = None
        self._endNode = None
        self._startNode = None
        self._path = None
        self._straightCost = 1.0
        self._diagCost = 1.414
        self._numCols = numCols
        self._numRows = numRows
        self._nodes = []
        for i in range(self._numCols):
            row = []
            for j in range(self._numRows):
                row.append(AStarNode(i, j))
            self._nodes.append(row)

    def getNode(self, r, c):
        return self._nodes[r][c]

    def setStartNode(self, r, c):
        self._startNode = self._nodes[r][c]

    def getStartNode(self):
        return self._startNode

    def setEndNode(self, r, c):
        self._endNode = self._nodes[r][c]

    def getEndNode(self):
        return self._endNode

    def setWalkable(self, r, c, value):
        self._nodes[r][c].walkable = value

    def getNumCols(self):
        return self._numCols

    def getNumRows(self):
        return self._numRows

    def findPath(self):
        self._open = []
        self._closed = []
        if self._startNode is None or self._endNode is None:
            return False
        self._startNode.g = 0
        self._startNode.h = self.diagonal(self._startNode)
        self._startNode.f = self._startNode.g + self._startNode.h
        return self.search()

    def sortFun(self, node):
        return node.f

    def search(self):
        node = self._startNode
        while node != self._endNode:
            startX = max(0, node.r - 1)
            endX = min(self.getNumCols() - 1, node.r + 1)
            startY = max(0, node.c - 1)
            endY = min(self.getNumRows() - 1, node.c + 1)
            for i in range(startX, endX + 1):
                for j in range(startY, endY + 1):
                    test = self.getNode(i, j)
                    if (test is node or not test.walkable
                            or not self.getNode(node.r, test.c).walkable
                            or not self.getNode(test.r, node.c).walkable):
                        continue
                    cost = self._straightCost
                    if not (node.r == test.r or node.c == test.c):
                        cost = self._diagCost
                    g = node.g + cost * test.costMultiplier
                    h = self.diagonal(test)
                    f = g + h
                    if self.isOpen(test) or self.isClosed(test):
                        if test.f > f:
                            test.f = f
                            test.g = g
                            test.h = h
                            test.parent = node
                    else:
                        test.f = f
                        test.g = g
                        test.h = h
                        test.parent = node
                        self._open.append(test)
            self._closed.append(node)
            if len(self._open) == 0:
                return False
            self._open.sort(key=self.sortFun)
            node = self._open.pop(0)
        self.buildPath()
        return True

    def buildPath(self):
        self._path = []
        node = self._endNode
        self._path.append(node)
        seen = {id(node)}
        while node is not self._startNode:
            node = node.parent
            if id(node) in seen:
                raise ValueError(CYCLE_MESSAGE)
            seen.add(id(node))
            self._path.insert(0, node)

    def getPath(self):
        return self._path

    def isOpen(self, node):
        for i in range(len(self._open)):
            if self._open[i] == node:
                return True
        return False

    def isClosed(self, node):
        for i in range(len(self._closed)):
            if self._closed[i] == node:
                return True
        return False

    def diagonal(self, node):
        dx = abs(node.r - self._endNode.r)
        dy = abs(node.c - self._endNode.c)
        diag = min(dx, dy)
        straight = dx + dy
        return self._diagCost * diag + self._straightCost * (straight - 2 * diag)
