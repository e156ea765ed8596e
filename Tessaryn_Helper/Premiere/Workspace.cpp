#include "Workspace.h"

Workspace::Workspace(QObject* parent)
    : QObject(parent)
{
}

Workspace::~Workspace() = default;
