"""ddc (stub)."""
COLUMNS=[]
def add_arguments(p):
    pass
