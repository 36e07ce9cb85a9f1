def load_tree(p): pass
class WaidTree: pass
class GiniTree: pass
class AnovaTree: pass
