// Each subsystem adds its classes and functions to the module namespace.
// They run in this order at import; each returns false with an exception set.
#pragma once

bool addCamera();          // CameraController
bool addApplication();     // TAVIK
bool addPen();             // Pen
bool addWidgets();         // makeLabel, makeButton, makeEntry
bool addPathFinding();     // AStarNode, AStar
bool addInteraction();     // ClickCtrl, PathMoveCtrl
bool addAxesGizmo();       // drawAxies
