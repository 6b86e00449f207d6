// Never built as part of the tree: the layering test builds it and expects the
// compiler to refuse the second include, since support sits below the e-graph.
#include "support/check.h"
#include "egraph/egraph.h"
