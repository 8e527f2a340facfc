
    vectorN n(50);
    float writeAndRead() {
      mesh a = createMeshFromFile("quad.x");
      a.lockVertex(); a.getVertexData(n);
      a.setVertex(2, vector3(0, 3, 0)); a.setUV(3, 0.25, 0.75); a.releaseVertex(1);
      mesh b = createMeshFromFile("quad.x");
      vector3 p, normal; b.lockVertex(); b.getVertex(2, p); b.getNormal(3, normal);
      b.releaseVertex(0);
      return p.y * 10 + normal.z;
    }
    float keepNormals(int how) {
      mesh a = createMeshFromFile_uniqueInstance("other.x");
      a.lockVertex(); a.setVertex(2, vector3(0, 3, 0)); a.releaseVertex(how);
      vector3 normal; a.lockVertex(); a.getNormal(3, normal); a.releaseVertex(0);
      return normal.z;
    }
void render(float t) {}
