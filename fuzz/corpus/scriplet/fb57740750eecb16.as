
    float shared() {
      mesh a = createMeshFromFile("quad.x"); mesh b = createMeshFromFile("quad.x");
      a.lockVertex(); a.setVertex(1, vector3(5, 6, 7)); a.releaseVertex(0);
      vector3 v; b.lockVertex(); b.getVertex(1, v); b.releaseVertex(0);
      return v.x;
    }
    float unique() {
      mesh a = createMeshFromFile_uniqueInstance("fresh.x");
      mesh b = createMeshFromFile_uniqueInstance("fresh.x");
      a.lockVertex(); a.setVertex(1, vector3(5, 6, 7)); a.releaseVertex(0);
      vector3 v; b.lockVertex(); b.getVertex(1, v); b.releaseVertex(0);
      return v.x * 100 + a.getNumVertices();
    }
void render(float t) {}
